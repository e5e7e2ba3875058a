// Delivery facts in tests: the class the queue's policy gives a result, and results of a given class
// for senders that stand in for a mail server.
#pragma once

#include <string>

#include "cycle/delivery_policy.h"
#include "smtp/delivery_result.h"

namespace tessel::test {

using cycle::FailureClass;

// ClassOf - what the policy makes of result as a whole.
inline FailureClass ClassOf(const smtp::DeliveryResult& result) { return cycle::ClassifyFailure(result); }

// FailedAs - a failed attempt whose facts the policy reads as cls (a refusal with code when given).
inline smtp::DeliveryResult FailedAs(FailureClass cls, std::string reason, int code = 0) {
    using smtp::ErrorKind;
    using smtp::SessionState;
    switch (cls) {
        case FailureClass::Session:  // broken in the transaction: the row goes into back-off
            return smtp::DeliveryResult::Failure(ErrorKind::Connection, SessionState::MailFrom, std::move(reason));
        case FailureClass::Temporary:
        case FailureClass::Transaction:
            return smtp::DeliveryResult::Failure(ErrorKind::Refused, SessionState::RcptTo, std::move(reason),
                                                 code != 0 ? code : (cls == FailureClass::Temporary ? 451 : 550));
        case FailureClass::Unconfirmed:
            return smtp::DeliveryResult::Failure(ErrorKind::Connection, SessionState::DataEnd, std::move(reason));
        case FailureClass::Address:
            return smtp::DeliveryResult::Failure(ErrorKind::Address, SessionState::Connect, std::move(reason));
        case FailureClass::Stopped:
            return smtp::DeliveryResult::Failure(ErrorKind::Stopped, SessionState::MailFrom, std::move(reason));
        case FailureClass::None: break;
    }
    return smtp::DeliveryResult::Success();
}

}  // namespace tessel::test
