// One inbound text message, as a peer may send it: classification, the typed
// frames, the reply's outcome, and the session's dispatch of it with one
// command waiting for its reply.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "fenwix/client/session.hpp"
#include "fenwix/proto/frames.hpp"
#include "fuzz_check.hpp"
#include "session_state.hpp"

namespace {

using namespace fenwix;
using fuzz::check;
using fuzz::valid_utf8;

// Texts that end up in log records and Python exceptions.
void check_text(std::string_view text, const char* what) {
  check(valid_utf8(text), what, text);
}

void check_json(const Json& value, const char* what) {
  // Everything the reader accepted can be written again: strings are valid
  // UTF-8 and nothing nests deeper than the bound.
  auto text = dump_json(value);
  check(text.has_value(), what, text ? std::string_view() : std::string_view(text.error()));
}

void check_outcome(Inbound& outcome) {
  struct Visitor {
    void operator()(inbound::Malformed& m) const {
      check_text(m.error, "malformed: error text is not UTF-8");
      check(m.error.size() <= 300, "malformed: error text unbounded", m.error);
    }
    void operator()(inbound::Reply& r) const {
      check_text(r.frame.id, "reply id");
      if (r.frame.result) {
        check(!r.frame.result->is_null(), "reply: null result kept");
        check_json(*r.frame.result, "reply result");
      }
      auto result = reply_to_result(r.frame);
      if (r.frame.status == ReplyStatus::Ok) {
        check(result.has_value(), "ok reply gave an error");
      } else {
        check(!result.has_value(), "error reply gave a result");
        check(result.error().as<error::Remote>() != nullptr, "error reply is not Remote");
        check_text(to_string(result.error()), "error reply display text");
      }
    }
    void operator()(inbound::UnparseableReply& r) const {
      check_text(r.error, "unparseable reply text");
    }
    void operator()(inbound::Event& e) const {
      check_json(e.frame.payload, "event payload");
      const SipEvent kind = e.frame.sip_kind();
      check(kind.name() == e.frame.event, "event kind does not name the event", e.frame.event);
      check(SipEvent::from_name(kind.name()) == kind, "event kind round trip", e.frame.event);
    }
    void operator()(inbound::UnparseableEvent& e) const {
      check_text(e.error, "unparseable event text");
    }
    void operator()(inbound::UnknownType& u) const {
      if (u.type) {
        check(*u.type != "reply" && *u.type != "event", "known type classified unknown", *u.type);
      }
    }
  };
  std::visit(Visitor{}, outcome);
}

// The reader's path: a session with "c-1" waiting; whatever arrives, that
// command ends exactly once (by the reply, or by the close that follows).
void dispatch(std::string_view text, bool is_reply_for_c1) {
  auto state = std::make_shared<detail::SessionState>(make_id_counter(), std::chrono::hours(1));
  auto core = std::make_shared<SessionCore>(state);
  int settled = 0;
  bool by_reply = false;
  core->send(std::nullopt, "hello", nullptr, nullptr, [&](Result<Json>) {
    ++settled;
    by_reply = !core->is_closed();
  });
  check(core->pending_count() == 1, "command not pending");
  int events = 0;
  auto sink = std::make_shared<std::function<void(EventFrame, const SessionPtr&)>>(
      [&](EventFrame frame, const SessionPtr& session) {
        ++events;
        check(session == core, "event sink got another session");
        check_text(frame.event, "event name");
      });
  detail::dispatch_text(text, core, sink);
  check(!core->is_closed(), "an inbound message closed the session");
  check(by_reply == is_reply_for_c1, "reply for c-1 did not settle it, or something else did");
  core->mark_closed();
  check(settled == 1, "command settled other than once");
  check(core->pending_count() == 0, "pending entry left after close");
  check(events <= 1, "one message gave several events");
}

// Most messages are read by a short cut that skips building a document for
// the envelope; whatever it accepts must come out exactly as reading the
// whole document would have it.
std::string dumped(const std::optional<Json>& value) {
  if (!value) return "<none>";
  auto text = dump_json(*value);
  return text ? *text : "<unwritable>";
}

void check_same_as_whole_document(std::string_view text, const Inbound& outcome) {
  const Inbound whole = detail::classify_inbound_document(text);
  check(outcome.index() == whole.index(), "short cut and whole document disagree on the kind", text);
  if (const auto* r = std::get_if<inbound::Reply>(&outcome)) {
    const auto& w = std::get<inbound::Reply>(whole).frame;
    check(r->frame == w && dumped(r->frame.result) == dumped(w.result),
          "short cut and whole document read different replies", text);
  } else if (const auto* e = std::get_if<inbound::Event>(&outcome)) {
    const auto& w = std::get<inbound::Event>(whole).frame;
    check(e->frame == w && dumped(e->frame.payload) == dumped(w.payload),
          "short cut and whole document read different events", text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto outcome = classify_inbound(text);
  check_outcome(outcome);
  check_same_as_whole_document(text, outcome);
  const auto* reply = std::get_if<inbound::Reply>(&outcome);
  dispatch(text, reply != nullptr && reply->frame.id == "c-1");
  return 0;
}
