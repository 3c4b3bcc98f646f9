// ControlClient.originate: placing an outbound call.
//
// Every argument rule is applied in the calling thread, in a fixed order, so
// that the first broken rule is the one reported and nothing is sent or
// started for a refused call. Only then is the future created; the command
// itself waits for connection on demand and goes through the client's
// commander, so it uses whichever session is live when it is sent.
#include <atomic>
#include <memory>
#include <string>
#include <utility>

#include "args.hpp"
#include "bridge.hpp"
#include "client_hooks.hpp"

#include "fenwix/client/quote.hpp"
#include "fenwix/client/verbs.hpp"

namespace fenwix::py {

namespace {

using fenwix::Json;
using fenwix::Result;

bool raise_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return false;
}

// One item of the session_timer dict.
bool session_timer_item(PyObject* key, PyObject* value, fenwix::SessionTimer& timer) {
  std::string name;
  if (!extract(key, name, {"originate", "session_timer"})) return false;
  if (name == "expires" || name == "min_se") {
    const bool expires = name == "expires";
    std::uint32_t seconds = 0;
    const ArgContext where{"originate",
                           expires ? "session_timer[\"expires\"]" : "session_timer[\"min_se\"]"};
    if (!extract(value, seconds, where)) return false;
    (expires ? timer.expires : timer.min_se) = seconds;
    return true;
  }
  if (name == "refresher") {
    std::string refresher;
    if (!extract(value, refresher, {"originate", "session_timer[\"refresher\"]"})) return false;
    timer.refresher = fenwix::from_name<fenwix::SessionRefresher>(refresher);
    if (timer.refresher) return true;
    return raise_value_error(
        "session_timer refresher must be \"uac\", \"uas\" or \"b2bua\", not " +
        fenwix::quote(refresher));
  }
  return raise_value_error("session_timer takes expires, min_se and refresher, not " +
                           fenwix::quote(name));
}

bool extract_session_timer(PyObject* obj, std::optional<fenwix::SessionTimer>& out) {
  out.reset();
  if (obj == nullptr || obj == Py_None) return true;
  if (!PyDict_Check(obj)) {
    PyErr_SetString(PyExc_TypeError,
                    "session_timer must be a dict: {\"expires\", \"min_se\", \"refresher\"}");
    return false;
  }
  fenwix::SessionTimer timer;
  bool ok = true;
  // An int-like value's __index__ is Python code that may change the dict
  // under the walk; the items are held while they are read, and a change of
  // size ends the walk the way Python's own dict iteration does.
  Py_BEGIN_CRITICAL_SECTION(obj);
  const Py_ssize_t size = PyDict_GET_SIZE(obj);
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(obj, &pos, &key, &value)) {
    const Ref held_key = Ref::borrow(key);
    const Ref held_value = Ref::borrow(value);
    if (!session_timer_item(held_key.get(), held_value.get(), timer)) {
      ok = false;
      break;
    }
    if (PyDict_GET_SIZE(obj) != size) {
      PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
      ok = false;
      break;
    }
  }
  Py_END_CRITICAL_SECTION();
  if (ok) out = timer;
  return ok;
}

bool given(PyObject* obj) { return obj != nullptr && obj != Py_None; }

PyObject* client_originate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static constexpr Signature<22> kSig{
      "originate",
      {required("channel"), optional("to"), keyword_only("aor"), keyword_only("strategy"),
       keyword_only("total_timeout"), keyword_only("media"), keyword_only("profile"),
       keyword_only("ws_uri"), keyword_only("sdp"), keyword_only("body"),
       keyword_only("content_type"), keyword_only("from_uri"), keyword_only("from_display"),
       keyword_only("to_display"), keyword_only("next_hop"),
       keyword_only("p_asserted_identity"), keyword_only("privacy"), keyword_only("headers"),
       keyword_only("timeout"), keyword_only("on_lost"), keyword_only("vars"),
       keyword_only("session_timer")}};
  std::string channel;
  std::optional<std::string> to;
  std::optional<std::string> aor;
  std::optional<std::string> strategy;
  std::optional<std::uint64_t> total_timeout;
  bool media = false;
  std::optional<std::string> profile;
  std::optional<std::string> ws_uri;
  std::optional<std::string> sdp;
  std::optional<std::string> body;
  std::optional<std::string> content_type;
  std::optional<std::string> privacy;
  PyObject* headers = nullptr;
  PyObject* vars = nullptr;
  PyObject* session_timer = nullptr;
  fenwix::OriginateOptions options;
  if (!parse_args(kSig, args, nargs, kwnames, channel, to, aor, strategy, total_timeout, media,
                  profile, ws_uri, sdp, body, content_type, options.from_uri,
                  options.from_display, options.to_display, options.next_hop,
                  options.p_asserted_identity, privacy, headers, options.timeout,
                  options.on_lost, vars, session_timer)) {
    return nullptr;
  }

  // Destination, and the ring options that belong to an address-of-record.
  if (to.has_value() == aor.has_value()) {
    raise_value_error("originate needs exactly one of to= and aor=");
    return nullptr;
  }
  fenwix::OriginateDestination destination;
  if (aor) {
    fenwix::AorRing ring{.strategy = std::nullopt, .total_timeout = total_timeout};
    if (strategy) {
      ring.strategy = fenwix::from_name<fenwix::DialStrategy>(*strategy);
      if (!ring.strategy) {
        raise_value_error("originate strategy must be \"parallel\" or \"sequential\", not " +
                          fenwix::quote(*strategy));
        return nullptr;
      }
    }
    destination = fenwix::OriginateAor{std::move(*aor), ring};
  } else {
    // A URI reaches one contact; ring options would be silently meaningless.
    if (strategy || total_timeout) {
      raise_value_error("originate strategy and total_timeout go with aor=, not to");
      return nullptr;
    }
    destination = fenwix::OriginateTo{std::move(*to)};
  }

  // Exactly one media plan.
  static constexpr const char* kOnePlan =
      "originate takes exactly one media plan: media=True, sdp=... or body=... (content_type "
      "goes with body)";
  using Media = fenwix::OriginateMedia;
  Media plan;
  if (media) {
    if (sdp || body || content_type) {
      raise_value_error(kOnePlan);
      return nullptr;
    }
    plan = Media{Media::Anchored{std::move(profile), std::move(ws_uri)}};
  } else {
    if (sdp) {
      if (body || content_type) {
        raise_value_error(kOnePlan);
        return nullptr;
      }
      plan = Media{Media::Sdp{std::move(*sdp)}};
    } else if (body) {
      plan = Media{Media::Body{std::move(*body), content_type.value_or("application/sdp")}};
    } else {
      raise_value_error(
          "originate needs a media plan: media=True (fenwix anchors the leg), sdp=... or "
          "body=...");
      return nullptr;
    }
    if (profile || ws_uri) {
      raise_value_error(
          "originate profile and ws_uri go with media=True, where fenwix anchors the leg");
      return nullptr;
    }
  }

  if (!extract_privacy("originate", privacy, options.privacy)) return nullptr;
  if (given(headers) &&
      !extract_string_pairs(headers, "headers", {"originate", "headers"}, options.headers)) {
    return nullptr;
  }
  if (given(vars) && !extract_string_pairs(vars, "vars", {"originate", "vars"}, options.vars)) {
    return nullptr;
  }
  if (!extract_session_timer(session_timer, options.session_timer)) return nullptr;

  const bool group = std::holds_alternative<fenwix::OriginateAor>(destination);
  Json command_args = fenwix::originate_args(channel, destination, plan, options);

  // Cancelling the awaitable while the connection is still being made must
  // keep the call from being placed once it is up.
  auto cancelled = std::make_shared<std::atomic<bool>>(false);
  auto pending = Pending::create([cancelled] { cancelled->store(true); });
  if (!pending) return nullptr;
  with_connected_client(
      self, [done = std::move(pending->completion), command_args = std::move(command_args),
             channel = std::move(channel), group,
             cancelled](Result<fenwix::SipClient> client) mutable {
        if (!client) {
          std::move(done).resolve(error_outcome(std::move(client.error())));
          return;
        }
        if (cancelled->load()) return;
        const fenwix::TransportPtr& commander = client->commander();
        if (!commander) {
          std::move(done).resolve(error_outcome(fenwix::ControlError{fenwix::error::Closed{}}));
          return;
        }
        commander->send(
            "sip", "originate", Json(nullptr), std::move(command_args),
            [done = std::move(done), channel = std::move(channel),
             group](Result<Json> reply) mutable {
              if (!reply) {
                std::move(done).resolve(error_outcome(std::move(reply.error())));
                return;
              }
              // The summary, not the raw reply: members the switch adds are
              // dropped, and the requested id stands in for a missing channel.
              Json summary = group ? fenwix::OriginatedGroup::from_reply(*reply, channel).to_json()
                                   : fenwix::Originated::from_reply(*reply, channel).to_json();
              std::move(done).resolve(json_outcome(std::move(summary)));
            });
      });
  return pending->future.release();
}

constexpr const char* kOriginateDoc =
    "originate($self, channel, to=None, *, aor=None, strategy=None, total_timeout=None, "
    "media=False, profile=None, ws_uri=None, sdp=None, body=None, content_type=None, "
    "from_uri=None, from_display=None, to_display=None, next_hop=None, "
    "p_asserted_identity=None, privacy=None, headers=None, timeout=None, on_lost=None, "
    "vars=None, session_timer=None)\n"
    "--\n"
    "\n"
    "Place an outbound call on a new channel whose id, ``channel``, the application\n"
    "chooses.\n"
    "\n"
    "Resolves as soon as the switch reports that the INVITE is on the wire; the\n"
    "answer, a failure or the ring time-out arrive later as events on the new\n"
    "channel. Every argument rule below is checked before anything is sent.\n"
    "\n"
    "Destination, exactly one of:\n"
    "\n"
    "- ``to``: a URI, resolved as written. It reaches nothing for a phone\n"
    "  registered over TCP, TLS or WSS behind NAT.\n"
    "- ``aor``: an address-of-record. Every phone registered there rings, each over\n"
    "  its own flow and Path (RFC 5626 section 5.3, RFC 3327 section 5.3); the\n"
    "  first to answer becomes the channel's call and the rest are CANCELled.\n"
    "  Until a phone answers, the channel's events carry the group id as their\n"
    "  call id. ``strategy`` (\"parallel\" or \"sequential\") and ``total_timeout``\n"
    "  (the group's bound in seconds, 0 for none) go with ``aor`` only.\n"
    "\n"
    "Media plan, exactly one of:\n"
    "\n"
    "- ``media=True``: the switch anchors the leg's media itself, shaped by the\n"
    "  media profile ``profile`` and the WebSocket bridge URI ``ws_uri``;\n"
    "- ``sdp=...``: the application's own SDP offer;\n"
    "- ``body=...``: any body, with its ``content_type`` (by default\n"
    "  \"application/sdp\").\n"
    "\n"
    "``from_uri``, ``from_display``, ``to_display``, ``next_hop``,\n"
    "``p_asserted_identity``, ``privacy`` (\"allowed\" or \"restricted\"),\n"
    "``headers`` (a dict of str -> str), ``timeout``, ``on_lost`` and ``vars`` (a\n"
    "dict of str -> str, the channel's variables) shape the call.\n"
    "``session_timer={\"expires\": 1800, \"min_se\": 90, \"refresher\": \"b2bua\"}``\n"
    "runs an RFC 4028 session timer; each key left out takes the switch's default,\n"
    "and with ``session_timer`` left out entirely the configured timer runs.\n"
    "\n"
    "Resolves to {\"channel\", \"call_id\", \"sip_call_id\"} for ``to``, and to\n"
    "{\"channel\", \"group_id\", \"aor\", \"strategy\", \"total_timeout\", \"branches\"}\n"
    "for ``aor``. The switch's own refusals arrive as ControlError: \"conflict\" for\n"
    "a channel id in use, \"not_found\" for no route or for an address-of-record\n"
    "with nobody registered. While the phones ring, ``hangup()`` on the channel\n"
    "CANCELs them all and ``drop()`` is refused.\n";

const PyMethodDef kOriginate = {
    "originate",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(client_originate)),
    METH_FASTCALL | METH_KEYWORDS,
    kOriginateDoc,
};

}  // namespace

const PyMethodDef* client_originate_method() { return &kOriginate; }

}  // namespace fenwix::py
