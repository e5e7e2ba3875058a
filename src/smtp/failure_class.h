// What a failed SMTP session means for its message: the session only says where it was.
#pragma once

#include <exception>

#include "smtp/delivery_result.h"

namespace tessel::smtp {

// SessionPhase - how far the session had come when it failed.
enum class SessionPhase {
    BeforeTransaction,  // greeting, EHLO/HELO, STARTTLS, AUTH
    InTransaction,      // from RSET/MAIL FROM until the final "." has been sent
    AwaitingDataEnd,    // the final "." has left: only its reply is missing
};

// ClassifyFailure - the result for a session that failed with error in phase. A wait cut short by
// a stop request is Stopped (it never cuts the wait for the reply to the final "."). textFailed: the
// message text itself could not be produced (an attachment that cannot be read), which no retry
// mends. Refusals: 530 means the server refuses every message (Session); before the transaction
// any refusal is the server's (Session); in it 4xx is Temporary (the reply code kept) and any
// other code Transaction. Anything that is not a refusal with a valid code (a broken connection, a
// time-out, garbage) is Session before the final "." and Unconfirmed after it. Never throws (but
// std::bad_alloc).
DeliveryResult ClassifyFailure(const std::exception& error, SessionPhase phase, bool textFailed);

}  // namespace tessel::smtp
