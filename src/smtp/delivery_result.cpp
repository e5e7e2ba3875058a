#include "smtp/delivery_result.h"

namespace tessel::smtp {

std::string_view StateName(SessionState state) {
    switch (state) {
        case SessionState::Connect: return "connect";
        case SessionState::Greeting: return "greeting";
        case SessionState::Hello: return "EHLO";
        case SessionState::StartTls: return "STARTTLS";
        case SessionState::Auth: return "AUTH";
        case SessionState::Reset: return "RSET";
        case SessionState::MailFrom: return "MAIL FROM";
        case SessionState::RcptTo: return "RCPT TO";
        case SessionState::Data: return "DATA";
        case SessionState::Text: return "message text";
        case SessionState::DataEnd: return "end of message";
        case SessionState::Quit: return "QUIT";
        case SessionState::Done: break;
    }
    return "done";
}

}  // namespace tessel::smtp
