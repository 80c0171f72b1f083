#include "session_protocol.h"

// clang-format off
#include <cstddef>  // before libtelnet.h, which uses size_t without declaring it
#include <libtelnet.h>
// clang-format on

#include <vector>

#include "line_assembler.h"

namespace qeltbridge {
namespace {

// No option is accepted on the client's initiative; the options we offer
// ourselves with --negotiate are tracked by the library's own option state.
const telnet_telopt_t kTelopts[] = {{-1, 0, 0}};

struct TelnetFree {
    void operator()(telnet_t* telnet) const { telnet_free(telnet); }
};

const char* optionName(unsigned char option) {
    switch (option) {
        case TELNET_TELOPT_ECHO:
            return "ECHO";
        case TELNET_TELOPT_SGA:
            return "SGA";
        case TELNET_TELOPT_TTYPE:
            return "TTYPE";
        case TELNET_TELOPT_NAWS:
            return "NAWS";
        case TELNET_TELOPT_LINEMODE:
            return "LINEMODE";
        case TELNET_TELOPT_BINARY:
            return "BINARY";
        default:
            return nullptr;
    }
}

std::string optionText(unsigned char option) {
    const char* name = optionName(option);
    return name ? name : std::to_string(option);
}

}  // namespace

SessionState nextState(SessionState state, SessionEvent event) {
    using S = SessionState;
    if (state == S::Dead) return S::Dead;
    switch (event) {
        case SessionEvent::Ended:
            if (state == S::Open) return S::Closing;
            return state == S::Stalled ? S::Draining : state;
        case SessionEvent::Stalled:
            if (state == S::Open) return S::Stalled;
            return state == S::Closing ? S::Draining : state;
        case SessionEvent::Flushed:
            return state == S::Closing || state == S::Refused ? S::Draining : state;
        case SessionEvent::Dropped:
        case SessionEvent::Rebooting:
            return S::Draining;
        case SessionEvent::Reset:
        case SessionEvent::Gone:
            return S::Dead;
        case SessionEvent::Drained:
            return state == S::Draining ? S::Dead : state;
    }
    return state;
}

bool takesOutput(SessionState state) {
    return state == SessionState::Open || state == SessionState::Closing ||
           state == SessionState::Refused;
}

bool handlesInput(SessionState state) {
    return state == SessionState::Open || state == SessionState::Stalled;
}

bool countsAsSession(SessionState state) {
    return state == SessionState::Open || state == SessionState::Closing ||
           state == SessionState::Stalled;
}

// The conversation's answers are gathered and escaped through the telnet
// state in one piece per answer (a dump page is thousands of lines), or line
// by line where the pacing needs to know where each line ends on the wire.
struct SessionProtocol::Impl final : ReplySink {
    Impl(const BridgeState& bridge, ProtocolOutput& output, bool markLines)
        : state(bridge), out(output), markLineEnds(markLines), conversation(bridge) {
        telnet.reset(telnet_init(kTelopts, &Impl::onEvent, 0, this));
    }

    const BridgeState& state;
    ProtocolOutput& out;
    const bool markLineEnds;
    bool broken = false;
    std::unique_ptr<telnet_t, TelnetFree> telnet;
    LineAssembler assembler;
    std::vector<std::string> lines;
    std::size_t taken = 0;  // lines[0, taken) were handed out
    Conversation conversation;
    std::string staged;  // answer text not yet escaped

    void flushStaged() {
        if (staged.empty()) return;
        telnet_send(telnet.get(), staged.data(), staged.size());
        staged.clear();
    }

    // ReplySink
    void text(std::string_view data) override { staged.append(data); }
    void line(std::string_view data) override {
        staged.append(data);
        staged.append("\r\n");
        if (markLineEnds) {
            flushStaged();
            out.lineEnd();
        }
    }
    void goAhead() override {
        flushStaged();
        telnet_iac(telnet.get(), TELNET_GA);
    }
    void note(const std::string& what) override { out.note(what); }

    void onNegotiation(const telnet_event_t& event) {
        const std::string option = optionText(event.neg.telopt);
        switch (event.type) {
            case TELNET_EV_WILL:
                out.note("client WILL " + option);
                if (event.neg.telopt == TELNET_TELOPT_TTYPE) telnet_ttype_send(telnet.get());
                break;
            case TELNET_EV_WONT:
                out.note("client WONT " + option);
                break;
            case TELNET_EV_DO:
                out.note("client DO " + option);
                break;
            default:
                out.note("client DONT " + option);
                break;
        }
    }

    static void onEvent(telnet_t*, telnet_event_t* event, void* user) {
        auto& self = *static_cast<Impl*>(user);
        switch (event->type) {
            case TELNET_EV_DATA: {
                const std::string_view data(event->data.buffer, event->data.size);
                self.out.clientData(data);
                self.assembler.feed(data, self.lines);
                break;
            }
            case TELNET_EV_SEND:
                self.out.wire(std::string_view(event->data.buffer, event->data.size));
                break;
            case TELNET_EV_WILL:
            case TELNET_EV_WONT:
            case TELNET_EV_DO:
            case TELNET_EV_DONT:
                self.onNegotiation(*event);
                break;
            case TELNET_EV_TTYPE:
                if (event->ttype.cmd == TELNET_TTYPE_IS && event->ttype.name)
                    self.out.note("terminal type " + std::string(event->ttype.name));
                break;
            case TELNET_EV_SUBNEGOTIATION:
                self.out.note("subnegotiation " + optionText(event->sub.telopt) + ", " +
                              std::to_string(event->sub.size) + " bytes");
                break;
            case TELNET_EV_WARNING:
                self.out.note(std::string("telnet warning: ") + event->error.msg);
                break;
            case TELNET_EV_ERROR:
                self.out.note(std::string("telnet error: ") + event->error.msg);
                self.broken = true;
                break;
            default:
                break;
        }
    }
};

SessionProtocol::SessionProtocol(const BridgeState& state, ProtocolOutput& out, bool markLineEnds)
    : impl_(std::make_unique<Impl>(state, out, markLineEnds)) {}

SessionProtocol::~SessionProtocol() = default;

bool SessionProtocol::ready() const {
    return impl_->telnet != nullptr;
}

void SessionProtocol::open() {
    telnet_t* telnet = impl_->telnet.get();
    if (impl_->state.options->negotiate) {
        telnet_negotiate(telnet, TELNET_WILL, TELNET_TELOPT_ECHO);
        telnet_negotiate(telnet, TELNET_WILL, TELNET_TELOPT_SGA);
        telnet_negotiate(telnet, TELNET_DO, TELNET_TELOPT_TTYPE);
        telnet_negotiate(telnet, TELNET_DO, TELNET_TELOPT_NAWS);
    }
    impl_->conversation.begin(*impl_);
    impl_->flushStaged();
}

bool SessionProtocol::receive(std::string_view bytes) {
    // libtelnet takes const char*; the buffer is left as it is.
    telnet_recv(impl_->telnet.get(), bytes.data(), bytes.size());
    return !impl_->broken;
}

bool SessionProtocol::nextLine(std::string& line) {
    Impl& p = *impl_;
    if (p.taken == p.lines.size()) {
        p.lines.clear();
        p.taken = 0;
        return false;
    }
    line = std::move(p.lines[p.taken++]);
    return true;
}

SessionProtocol::Request SessionProtocol::handle(const std::string& line, TimePoint now) {
    const Request request = impl_->conversation.handleLine(line, now, *impl_);
    impl_->flushStaged();
    return request;
}

SessionProtocol::Event SessionProtocol::serve(std::string_view bytes, TimePoint now) {
    if (!receive(bytes)) return Event::Broken;
    Event event = Event::None;
    std::string line;
    while (event == Event::None && nextLine(line)) {
        switch (handle(line, now)) {
            case Request::None:
                break;
            case Request::Close:
                event = Event::Close;
                break;
            case Request::Reboot:
                event = Event::Reboot;
                break;
        }
    }
    // Nothing after the line that ended the session is meant to be handled.
    impl_->lines.clear();
    impl_->taken = 0;
    return event;
}

void SessionProtocol::say(std::string_view text) {
    impl_->text(text);
    impl_->flushStaged();
}

bool SessionProtocol::loggedIn() const {
    return impl_->conversation.loggedIn();
}

}  // namespace qeltbridge
