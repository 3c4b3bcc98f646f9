// The verbs of the Python Call class: answering and ending, playback and
// DTMF, recording and streaming, dialing and routing, bridging, transfers.
//
// Every verb binds its arguments, makes its own checks and builds its `args`
// object in the calling thread, so that every refusal is raised from the
// method call with nothing sent; only then does it capture the loop, create
// its one future and send its one command. The reply is turned into the
// future's outcome on the loop's thread.
#include <span>
#include <string>
#include <utility>

#include "args.hpp"
#include "bridge.hpp"
#include "call.hpp"

#include "fenwix/client/verbs.hpp"

namespace fenwix::py {

namespace {

using fenwix::Json;
using fenwix::Result;
using fenwix::SipVerb;

#define FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

std::optional<std::string_view> view(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return std::string_view(*text);
}

// Sends `verb` with `args` through the call's transport and returns the
// future that `shape(reply)` resolves.
template <class Shape>
PyObject* send(PyObject* self, SipVerb verb, Json args, Shape shape) {
  auto pending = Pending::create();
  if (!pending) return nullptr;
  call_of(self).sip(verb, std::move(args),
                    [done = std::move(pending->completion),
                     shape = std::move(shape)](Result<Json> reply) mutable {
                      std::move(done).resolve(shape(std::move(reply)));
                    });
  return pending->future.release();
}

PyObject* send_none(PyObject* self, SipVerb verb, Json args) {
  return send(self, verb, std::move(args), none_outcome);
}

PyObject* send_result(PyObject* self, SipVerb verb, Json args) {
  return send(self, verb, std::move(args), json_outcome);
}

// ---------------------------------------------------------------------------
// Answering and ending

PyObject* call_answer(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  static constexpr Signature<0> kSig{"answer", {}};
  if (!parse_args(kSig, args, nargs, kwnames)) return nullptr;
  return send_none(self, SipVerb::Answer, Json::object());
}

PyObject* call_answer_with(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static constexpr Signature<4> kSig{
      "answer_with",
      {required("code"), optional("reason"), optional("body"), optional("content_type")}};
  std::uint16_t code = 0;
  std::optional<std::string> reason;
  std::optional<std::string> body;
  std::optional<std::string> content_type;
  if (!parse_args(kSig, args, nargs, kwnames, code, reason, body, content_type)) return nullptr;
  return send_none(self, SipVerb::Answer,
                   fenwix::response_args(code, view(reason), view(body), view(content_type)));
}

PyObject* call_answer_anchored(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  static constexpr Signature<2> kSig{"answer_anchored", {optional("profile"), optional("ws_uri")}};
  std::optional<std::string> profile;
  std::optional<std::string> ws_uri;
  if (!parse_args(kSig, args, nargs, kwnames, profile, ws_uri)) return nullptr;
  return send_none(self, SipVerb::Answer,
                   fenwix::answer_anchored_args(view(profile), view(ws_uri)));
}

// ring, hangup, cancel_dial: {"reason"?}.
template <const Signature<1>& kSig, SipVerb kVerb>
PyObject* call_with_reason(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  std::optional<std::string> reason;
  if (!parse_args(kSig, args, nargs, kwnames, reason)) return nullptr;
  return send_none(self, kVerb, fenwix::reason_args(view(reason)));
}

constexpr Signature<1> kRing{"ring", {optional("reason")}};
constexpr Signature<1> kHangup{"hangup", {optional("reason")}};
constexpr Signature<1> kCancelDial{"cancel_dial", {optional("reason")}};

// progress, stop, hold, unhold: {}.
template <const Signature<0>& kSig, SipVerb kVerb>
PyObject* call_bare(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!parse_args(kSig, args, nargs, kwnames)) return nullptr;
  return send_none(self, kVerb, Json::object());
}

constexpr Signature<0> kProgress{"progress", {}};
constexpr Signature<0> kStop{"stop", {}};
constexpr Signature<0> kHold{"hold", {}};
constexpr Signature<0> kUnhold{"unhold", {}};

// reject, reject_refer, complete_refer: {"code", "reason"?}.
template <const Signature<2>& kSig, SipVerb kVerb>
PyObject* call_with_code(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  std::uint16_t code = 0;
  std::optional<std::string> reason;
  if (!parse_args(kSig, args, nargs, kwnames, code, reason)) return nullptr;
  Json wire = kVerb == SipVerb::CompleteRefer ? fenwix::complete_refer_args(code, view(reason))
                                               : fenwix::reject_args(code, view(reason));
  return send_none(self, kVerb, std::move(wire));
}

constexpr Signature<2> kReject{"reject", {required("code"), optional("reason")}};
constexpr Signature<2> kRejectRefer{"reject_refer", {required("code"), optional("reason")}};
constexpr Signature<2> kCompleteRefer{"complete_refer", {required("code"), optional("reason")}};

PyObject* call_drop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<2> kSig{"drop", {optional("reason"), keyword_only("ban")}};
  std::optional<std::string> reason;
  bool ban = false;
  if (!parse_args(kSig, args, nargs, kwnames, reason, ban)) return nullptr;
  return send_none(self, SipVerb::Drop, fenwix::drop_args(view(reason), ban));
}

// ---------------------------------------------------------------------------
// Playback and DTMF

PyObject* call_play(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<10> kSig{
      "play",
      {optional("file"), optional("db_id"), optional("blob"), optional("repeat"),
       optional("start_ms"), optional("duration_ms"), optional("to_tag"), keyword_only("tone"),
       keyword_only("url"), keyword_only("gain_decibels")}};
  std::optional<std::string> file;
  std::optional<std::uint64_t> db_id;
  std::optional<Bytes> blob;
  PyObject* repeat = nullptr;
  fenwix::PlayOptions options;
  std::optional<std::string> tone;
  std::optional<std::string> url;
  if (!parse_args(kSig, args, nargs, kwnames, file, db_id, blob, repeat, options.start_ms,
                  options.duration_ms, options.to_tag, tone, url, options.gain_decibels)) {
    return nullptr;
  }
  std::optional<fenwix::PlaySource> source;
  if (!build_play_source(std::move(file), db_id, std::move(blob), std::move(tone), std::move(url),
                         source)) {
    return nullptr;
  }
  if (!extract_play_repeat(repeat, options.repeat)) return nullptr;
  return send_none(self, SipVerb::Play, fenwix::play_args(*source, options));
}

PyObject* call_play_file(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static constexpr Signature<1> kSig{"play_file", {required("file")}};
  std::string file;
  if (!parse_args(kSig, args, nargs, kwnames, file)) return nullptr;
  const fenwix::PlaySource source{fenwix::PlaySource::File{std::move(file)}};
  return send_none(self, SipVerb::Play, fenwix::play_args(source, fenwix::PlayOptions{}));
}

PyObject* call_dtmf(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<5> kSig{
      "dtmf",
      {required("digits"), optional("duration_ms"), optional("volume_dbm0"), optional("pause_ms"),
       optional("to_tag")}};
  std::string digits;
  fenwix::DtmfOptions options;
  if (!parse_args(kSig, args, nargs, kwnames, digits, options.duration_ms, options.volume_dbm0,
                  options.pause_ms, options.to_tag)) {
    return nullptr;
  }
  return send_none(self, SipVerb::Dtmf, fenwix::dtmf_args(digits, options));
}

// ---------------------------------------------------------------------------
// Recording and streaming

PyObject* call_record_start(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  static constexpr Signature<5> kSig{
      "record_start",
      {optional("direction"), optional("channels"), optional("max_duration_ms"),
       optional("silence_ms"), optional("path")}};
  std::optional<std::string> direction;
  std::optional<std::string> channels;
  fenwix::RecordOptions options;
  if (!parse_args(kSig, args, nargs, kwnames, direction, channels, options.max_duration_ms,
                  options.silence_ms, options.path)) {
    return nullptr;
  }
  if (!extract_record_direction(direction, options.direction)) return nullptr;
  if (!extract_record_channels(channels, options.channels)) return nullptr;
  return send(self, SipVerb::RecordStart, options.to_json(),
              [channel = call_of(self).channel_id()](Result<Json> reply) {
                if (!reply) return error_outcome(std::move(reply.error()));
                return json_outcome(fenwix::Recording::from_reply(*reply, channel).to_json());
              });
}

PyObject* call_record_stop(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static constexpr Signature<1> kSig{"record_stop", {optional("recording_id")}};
  std::optional<std::string> recording_id;
  if (!parse_args(kSig, args, nargs, kwnames, recording_id)) return nullptr;
  return send_none(self, SipVerb::RecordStop, fenwix::record_stop_args(view(recording_id)));
}

PyObject* call_stream_start(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  static constexpr Signature<6> kSig{
      "stream_start",
      {required("ws_uri"), optional("direction"), optional("channels"), keyword_only("mode"),
       keyword_only("sample_rate"), keyword_only("profile")}};
  std::string ws_uri;
  std::optional<std::string> direction;
  std::optional<std::uint8_t> channels;
  std::string mode = "tee";
  std::optional<std::uint32_t> sample_rate;
  std::optional<std::string> profile;
  if (!parse_args(kSig, args, nargs, kwnames, ws_uri, direction, channels, mode, sample_rate,
                  profile)) {
    return nullptr;
  }
  fenwix::StreamMode stream_mode{};
  std::optional<fenwix::StreamDirection> stream_direction;
  std::optional<fenwix::StreamChannels> layout;
  if (!extract_stream_mode(mode, stream_mode) ||
      !extract_stream_direction(direction, stream_direction) ||
      !extract_stream_channels(channels, layout)) {
    return nullptr;
  }
  return send_none(self, SipVerb::StreamStart,
                   fenwix::stream_start_args(ws_uri, stream_mode, stream_direction, layout,
                                             sample_rate, view(profile)));
}

PyObject* call_stream_stop(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static constexpr Signature<1> kSig{"stream_stop", {keyword_only("mode")}};
  std::string mode = "tee";
  if (!parse_args(kSig, args, nargs, kwnames, mode)) return nullptr;
  fenwix::StreamMode stream_mode{};
  if (!extract_stream_mode(mode, stream_mode)) return nullptr;
  return send_none(self, SipVerb::StreamStop, fenwix::stream_stop_args(stream_mode));
}

// ---------------------------------------------------------------------------
// Dialing and routing

PyObject* call_dial(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<11> kSig{
      "dial",
      {required("targets"), optional("strategy"), optional("timeout"), optional("headers"),
       optional("profile"), optional("from_uri"), optional("from_display"),
       optional("p_asserted_identity"), optional("privacy"), optional("on_answer"),
       optional("ringback")}};
  ObjectList targets;
  std::optional<std::string> strategy;
  std::optional<std::string> privacy;
  std::optional<std::string> on_answer;
  PyObject* headers = nullptr;
  PyObject* ringback = nullptr;
  fenwix::DialOptions options;
  if (!parse_args(kSig, args, nargs, kwnames, targets, strategy, options.timeout, headers,
                  options.profile, options.from_uri, options.from_display,
                  options.p_asserted_identity, privacy, on_answer, ringback)) {
    return nullptr;
  }
  if (!extract_dial_strategy(strategy, options.strategy)) return nullptr;
  if (headers != nullptr && headers != Py_None &&
      !extract_string_pairs(headers, "headers", {"dial", "headers"}, options.headers)) {
    return nullptr;
  }
  if (!extract_privacy("dial", privacy, options.privacy)) return nullptr;
  if (!extract_dial_on_answer(on_answer, ringback, options.on_answer)) return nullptr;
  std::vector<fenwix::DialTarget> dial_targets;
  if (!extract_dial_targets(targets, {"dial", "targets"}, dial_targets)) return nullptr;
  return send(self, SipVerb::Dial, fenwix::dial_args(dial_targets, options),
              [channel = call_of(self).channel_id()](Result<Json> reply) {
                if (!reply) return error_outcome(std::move(reply.error()));
                return json_outcome(
                    fenwix::dialing_to_json(fenwix::Dialing::from_reply(*reply, channel)));
              });
}

PyObject* call_route(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<3> kSig{
      "route", {required("targets"), optional("strategy"), optional("headers")}};
  ObjectList targets;
  std::string strategy = "sequential";
  PyObject* headers = nullptr;
  if (!parse_args(kSig, args, nargs, kwnames, targets, strategy, headers)) return nullptr;
  std::vector<fenwix::RouteTarget> route_targets(targets.size());
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (!extract_route_target(targets[i].get(), {"route", "targets"}, route_targets[i])) {
      return nullptr;
    }
  }
  fenwix::HeaderPairs pairs;
  if (headers != nullptr && headers != Py_None &&
      !extract_string_pairs(headers, "headers", {"route", "headers"}, pairs)) {
    return nullptr;
  }
  return send_result(self, SipVerb::Route, fenwix::route_args(route_targets, strategy, pairs));
}

// ---------------------------------------------------------------------------
// Bridging

PyObject* call_bridge(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature<2> kSig{
      "bridge", {required("with_channel"), optional("on_peer_hangup")}};
  std::string with_channel;
  std::optional<std::string> on_peer_hangup;
  if (!parse_args(kSig, args, nargs, kwnames, with_channel, on_peer_hangup)) return nullptr;
  std::optional<fenwix::PeerHangup> policy;
  if (!parse_peer_hangup(on_peer_hangup, policy)) return nullptr;
  return send_result(self, SipVerb::Bridge, fenwix::bridge_args(with_channel, policy));
}

PyObject* call_unbridge(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static constexpr Signature<1> kSig{"unbridge", {optional("reason")}};
  std::optional<std::string> reason;
  if (!parse_args(kSig, args, nargs, kwnames, reason)) return nullptr;
  return send_result(self, SipVerb::Unbridge, fenwix::reason_args(view(reason)));
}

// ---------------------------------------------------------------------------
// Transfers

template <const Signature<1>& kSig>
PyObject* call_refer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string to;
  if (!parse_args(kSig, args, nargs, kwnames, to)) return nullptr;
  return send_none(self, SipVerb::Refer, fenwix::refer_args(to));
}

constexpr Signature<1> kRefer{"refer", {required("to")}};
constexpr Signature<1> kTransfer{"transfer", {required("to")}};

// The target, privacy and headers of the leg a transfer or replacement
// dials, checked in that order. Without a target accept_refer dials the
// Refer-To URI, while replace_peer has nothing to dial (`required`).
bool transfer_leg(std::string_view verb, bool required, std::optional<std::string> target,
                  std::optional<std::string> aor, const std::optional<std::string>& privacy,
                  PyObject* headers, std::optional<fenwix::TransferTarget>& leg,
                  fenwix::TransferDial& dial) {
  auto chosen = fenwix::transfer_target(verb, std::move(target), std::move(aor));
  if (!chosen) {
    PyErr_SetString(PyExc_ValueError, chosen.error().c_str());
    return false;
  }
  if (!*chosen && required) {
    const std::string message = std::string(verb) + " requires a target URI or aor=";
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
  }
  leg = std::move(*chosen);
  if (!extract_privacy(verb, privacy, dial.privacy)) return false;
  if (headers != nullptr && headers != Py_None &&
      !extract_string_pairs(headers, "headers", {verb, "headers"}, dial.headers)) {
    return false;
  }
  return true;
}

PyObject* call_accept_refer(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  static constexpr Signature<13> kSig{
      "accept_refer",
      {optional("target"), optional("next_hop"), optional("mode"), optional("profile"),
       keyword_only("aor"), keyword_only("from_uri"), keyword_only("from_display"),
       keyword_only("p_asserted_identity"), keyword_only("privacy"), keyword_only("headers"),
       keyword_only("timeout"), keyword_only("number_policy"), keyword_only("format")}};
  std::optional<std::string> target;
  std::optional<std::string> mode;
  std::optional<std::string> profile;
  std::optional<std::string> aor;
  std::optional<std::string> privacy;
  PyObject* headers = nullptr;
  std::optional<std::uint32_t> timeout;
  fenwix::TransferDial dial;
  if (!parse_args(kSig, args, nargs, kwnames, target, dial.next_hop, mode, profile, aor,
                  dial.from_uri, dial.from_display, dial.p_asserted_identity, privacy, headers,
                  timeout, dial.number_policy, dial.format)) {
    return nullptr;
  }
  if (mode == "controller") {
    // The application carries the transfer out itself, so nothing here
    // dials: an argument that shapes a dialled leg would be silently lost.
    const bool shapes_a_leg = target || aor || dial.next_hop || profile || dial.from_uri ||
                              dial.from_display || dial.p_asserted_identity || privacy ||
                              dial.number_policy || dial.format ||
                              (headers != nullptr && headers != Py_None);
    if (shapes_a_leg) {
      PyErr_SetString(PyExc_ValueError,
                      "accept_refer mode \"controller\" dials no leg: it takes timeout only");
      return nullptr;
    }
    return send_none(self, SipVerb::AcceptRefer, fenwix::accept_refer_controller_args(timeout));
  }
  if (timeout) {
    PyErr_SetString(PyExc_ValueError, "accept_refer timeout applies to mode \"controller\"");
    return nullptr;
  }
  std::optional<fenwix::TransferTarget> leg;
  if (!transfer_leg("accept_refer", false, std::move(target), std::move(aor), privacy, headers,
                    leg, dial)) {
    return nullptr;
  }
  return send_none(self, SipVerb::AcceptRefer,
                   fenwix::accept_refer_args(leg, view(mode), view(profile), dial));
}

PyObject* call_replace_peer(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  static constexpr Signature<13> kSig{
      "replace_peer",
      {optional("target"), optional("next_hop"), optional("replace_a_leg"), optional("profile"),
       optional("timeout"), keyword_only("aor"), keyword_only("from_uri"),
       keyword_only("from_display"), keyword_only("p_asserted_identity"),
       keyword_only("privacy"), keyword_only("headers"), keyword_only("number_policy"),
       keyword_only("format")}};
  std::optional<std::string> target;
  std::optional<bool> replace_a_leg;
  std::optional<std::string> profile;
  std::optional<std::uint32_t> timeout;
  std::optional<std::string> aor;
  std::optional<std::string> privacy;
  PyObject* headers = nullptr;
  fenwix::TransferDial dial;
  if (!parse_args(kSig, args, nargs, kwnames, target, dial.next_hop, replace_a_leg, profile,
                  timeout, aor, dial.from_uri, dial.from_display, dial.p_asserted_identity,
                  privacy, headers, dial.number_policy, dial.format)) {
    return nullptr;
  }
  std::optional<fenwix::TransferTarget> leg;
  if (!transfer_leg("replace_peer", true, std::move(target), std::move(aor), privacy, headers,
                    leg, dial)) {
    return nullptr;
  }
  return send_result(self, SipVerb::ReplacePeer,
                     fenwix::replace_peer_args(*leg, replace_a_leg, view(profile), timeout, dial));
}

// ---------------------------------------------------------------------------
// Docstrings

constexpr const char* kAnswerDoc = "answer($self)\n--\n\n";

constexpr const char* kAnswerWithDoc =
    "answer_with($self, code, reason=None, body=None, content_type=None)\n--\n\n";

constexpr const char* kAnswerAnchoredDoc =
    "answer_anchored($self, profile=None, ws_uri=None)\n"
    "--\n"
    "\n"
    "Answer the parked A-leg and anchor its media on the media engine, in one act.\n"
    "\n"
    "This is the verb form of the routing script's handover with answer, and how an\n"
    "application that accepted an un-answered handover connects the call after\n"
    "holding it open with ``ring()``. A plain ``answer()`` sends a 2xx and anchors\n"
    "nothing, and answering first and attaching a stream afterwards is not the same\n"
    "thing: the received-from address, echo cancellation and voice-activity\n"
    "detection are properties of the answer.\n"
    "\n"
    "``profile`` names a media profile (the switch's default is \"voice_ai\").\n"
    "``ws_uri`` overrides that profile's WebSocket bridge URI for this call; the\n"
    "switch expands {call_id}, {from_tag}, {from_user} and {to_user} in it, where\n"
    "{call_id} is the SIP Call-ID (``sip_call_id``), not the control-plane\n"
    "``call_id``.\n"
    "\n"
    "Synthesising the RFC 3264 answer against the media engine is a fenwix-rtp\n"
    "capability: on rtpengine or rtpproxy this raises ControlError with code\n"
    "\"unavailable\" rather than sending a 200 with nothing behind it. On any media\n"
    "failure the 2xx is never sent and the call stays parked, to be retried with\n"
    "another profile or rejected.\n";

constexpr const char* kRingDoc =
    "ring($self, reason=None)\n"
    "--\n"
    "\n"
    "Send 180 Ringing: alerting only, without early media.\n"
    "\n"
    "RFC 3261 section 13.2.1 makes the 180 the callee-is-being-alerted signal, and\n"
    "RFC 3960 section 3.1 puts early media on a response that carries SDP: two\n"
    "different acts, and so two verbs. Ring for as long as the application's own\n"
    "policy says, then answer.\n";

constexpr const char* kProgressDoc = "progress($self)\n--\n\n";

constexpr const char* kRejectDoc = "reject($self, code, reason=None)\n--\n\n";

constexpr const char* kHangupDoc = "hangup($self, reason=None)\n--\n\n";

constexpr const char* kDropDoc =
    "drop($self, reason=None, *, ban=False)\n"
    "--\n"
    "\n"
    "Abandon an un-answered call with nothing on the wire, and release it.\n"
    "\n"
    "No final response and no CANCEL are sent. This is the only silent way out of a\n"
    "parked call: ``reject()`` and an un-answered ``hangup()`` both answer, and on a\n"
    "SIP port reachable from the internet a 404 for an unclaimed number confirms\n"
    "the number to an enumeration sweep.\n"
    "\n"
    "It is not a way to hang up: an answered dialog is owed a BYE (RFC 3261\n"
    "section 15), so an answered call raises ControlError with code\n"
    "\"invalid_state\" (use ``hangup()`` there), and a call that has already ended\n"
    "raises code \"not_found\".\n"
    "\n"
    "``reason`` is for the record, not the wire: it reaches the switch's log and\n"
    "call detail record (as ``sip_reason``, beside ``disconnect_initiator``\n"
    "\"control\" and no response code).\n"
    "\n"
    "``ban=True`` also scores the caller's source address toward an automatic ban\n"
    "in the switch's ``security.failed_auth_ban`` store, so that a source the\n"
    "controller keeps dropping is refused at the transport before its next INVITE\n"
    "is parsed. One drop is a strong signal over TCP, TLS, WS or WSS, whose\n"
    "handshake proved the address, and counts once over UDP. It does nothing when\n"
    "``failed_auth_ban`` is not configured; addresses in ``trusted_cidrs`` are\n"
    "never scored, and a refused drop scores nothing.\n";

constexpr const char* kHoldDoc =
    "hold($self)\n"
    "--\n"
    "\n"
    "Silence the call's media in both directions on the media engine.\n"
    "\n"
    "This is a media gate, not a SIP hold: nothing is sent on either dialog, so no\n"
    "phone shows a held call. A call whose media the engine only relays raises\n"
    "ControlError with code \"invalid_state\". To hold one party of a bridge, use\n"
    "``unbridge()``.\n";

constexpr const char* kUnholdDoc =
    "unhold($self)\n"
    "--\n"
    "\n"
    "Restore the call's media after a `hold`.";

constexpr const char* kPlayDoc =
    "play($self, file=None, db_id=None, blob=None, repeat=None, start_ms=None, "
    "duration_ms=None, to_tag=None, *, tone=None, url=None, gain_decibels=None)\n"
    "--\n"
    "\n"
    "Play an announcement on the A-leg media; fire-and-forget.\n"
    "\n"
    "Pass exactly one source, or ValueError is raised:\n"
    "\n"
    "- ``file`` (str);\n"
    "- ``db_id`` (int);\n"
    "- ``blob`` (bytes, base64-encoded on the wire);\n"
    "- ``tone``: a preset name such as \"ringback_eu\", or a cadence such as\n"
    "  \"425/1000,0/4000*inf\";\n"
    "- ``url``: a web URL, plain or secure, that the media engine fetches.\n"
    "\n"
    "The rest shape playback. ``repeat`` is the total play count, or \"inf\" to\n"
    "play until stopped (music on hold, ended by ``stop()``); any other value\n"
    "raises ValueError. ``gain_decibels`` plays louder (positive) or quieter\n"
    "(negative) by that many decibels. ``start_ms``, ``duration_ms`` and\n"
    "``to_tag`` are passed to the switch as given.\n"
    "\n"
    "The awaitable resolves to None once the switch has accepted the command;\n"
    "\"PlayStarted\" and \"PlayFinished\" follow on the call's event stream. A call\n"
    "with no anchored media session raises ControlError with code \"not_found\".\n";

constexpr const char* kPlayFileDoc =
    "play_file($self, file)\n"
    "--\n"
    "\n"
    "Convenience for `play(file=...)` with default options.";

constexpr const char* kStopDoc =
    "stop($self)\n"
    "--\n"
    "\n"
    "Stop the announcement currently playing on the A-leg media.";

constexpr const char* kDtmfDoc =
    "dtmf($self, digits, duration_ms=None, volume_dbm0=None, pause_ms=None, to_tag=None)\n"
    "--\n"
    "\n"
    "Inject DTMF digits toward the A-leg; fire-and-forget.\n"
    "\n"
    "The optional ``duration_ms``, ``volume_dbm0``, ``pause_ms`` and ``to_tag``\n"
    "shape the tones. The digits are sent as given; the switch decides what it\n"
    "accepts.\n";

constexpr const char* kRecordStartDoc =
    "record_start($self, direction=None, channels=None, max_duration_ms=None, "
    "silence_ms=None, path=None)\n"
    "--\n"
    "\n"
    "Record the call's decoded audio to a WAV file.\n"
    "\n"
    "Resolves to {\"channel\", \"recording_id\"}: the recording id is what a later\n"
    "``record_stop()`` addresses and what the \"RecordingFinished\" event carries.\n"
    "The reply is not the file. \"RecordingFinished\" fires when the file is closed\n"
    "and names its path; an application that mails the audio has to wait for it,\n"
    "since acting on the reply races a half-written file.\n"
    "\n"
    "``direction`` is \"ingress\" (the switch's default: what the parties sent,\n"
    "which is what a recorded message is), \"egress\" or \"both\"; ``channels`` is\n"
    "\"mono\" (the default) or \"stereo\". Either may be spelled in any letter case;\n"
    "any other value raises ValueError. ``max_duration_ms`` and ``silence_ms`` are\n"
    "the two stop conditions a voicemail greeting announces, evaluated by the\n"
    "media engine where the decoded audio is; each left out takes the server's\n"
    "own default.\n"
    "\n"
    "This is not ``li.record()`` or SIPREC, which hand a recording server its own\n"
    "leg: it writes a file, and works on a single-leg, engine-terminated call,\n"
    "which is what a voicemail box is. It is a fenwix-rtp capability only:\n"
    "rtpengine and rtpproxy raise ControlError with code \"unsupported_verb\", and\n"
    "a call with no anchored media session raises code \"not_found\".\n";

constexpr const char* kRecordStopDoc =
    "record_stop($self, recording_id=None)\n"
    "--\n"
    "\n"
    "Stop the recording named by ``recording_id``, or every recording on the call\n"
    "when it is left out.\n"
    "\n"
    "Resolves once the engine has accepted the stop; the file is not closed yet.\n"
    "\"RecordingFinished\" says when it is, and carries the path and the reason\n"
    "(\"stopped\", \"max_duration\", \"silence\", \"call_ended\", \"error\").\n";

constexpr const char* kStreamStartDoc =
    "stream_start($self, ws_uri, direction=None, channels=None, *, mode=\"tee\", "
    "sample_rate=None, profile=None)\n"
    "--\n"
    "\n"
    "Attach a WebSocket audio stream to ``ws_uri``.\n"
    "\n"
    "``mode`` picks one of two opposite operations:\n"
    "\n"
    "- \"tee\" (the default) is additive: a copy of the call's decoded audio\n"
    "  streams to ``ws_uri`` while the call keeps relaying, for transcription,\n"
    "  agent assist and compliance;\n"
    "- \"bridge\" is a takeover: the WebSocket server becomes the leg's far side and\n"
    "  the call's own media path is unwired; on a leg that already has a bridge it\n"
    "  re-points in place.\n"
    "\n"
    "The mode is always sent, the default included, so that a server whose own\n"
    "default moved can never turn a transcription into a takeover.\n"
    "\n"
    "``direction``, ``channels`` and ``sample_rate`` shape a tee only, and the\n"
    "server refuses them alongside \"bridge\": ``direction`` is \"both\" (the\n"
    "default), \"caller\" or \"callee\"; ``channels`` is 1 (mixed mono) or 2\n"
    "(caller/callee stereo, only with \"both\"); ``sample_rate`` is the L16 rate in\n"
    "Hz, a multiple of 1000 within 8000 to 48000. A bad ``mode``, ``direction`` or\n"
    "``channels`` raises ValueError before anything is sent.\n"
    "\n"
    "``profile`` shapes a bridge only (it is refused on a tee): the name of a media\n"
    "profile on the server whose bridge settings (wire rate, noise suppression,\n"
    "echo cancellation, voice-activity detection, barge-in) the bridge runs with,\n"
    "as an answer with a WebSocket URI would. Without it the bridge runs at the\n"
    "leg's own rate with uplink processing off.\n"
    "\n"
    "``ws_uri`` may use {call_id}, {from_tag}, {from_user} and {to_user}, which the\n"
    "switch expands before the engine sees it; {call_id} is the call's SIP Call-ID\n"
    "(``sip_call_id``), not the control-plane ``call_id``. This is a fenwix-rtp\n"
    "capability only: rtpengine and rtpproxy raise ControlError with code\n"
    "\"unsupported_verb\".\n";

constexpr const char* kStreamStopDoc =
    "stream_stop($self, *, mode=\"tee\")\n"
    "--\n"
    "\n"
    "Detach the WebSocket stream of ``mode`` (\"tee\" or \"bridge\").\n"
    "\n"
    "The mode is always sent, the default included, so that a server whose own\n"
    "default moved can never detach a takeover when a tee was meant. A tee detach\n"
    "is idempotent. A bridge detach is not: the engine refuses one where there is\n"
    "no relay to hand the call back to, and that raises ControlError rather than\n"
    "leaving a live call with no audio path.\n";

constexpr const char* kDialDoc =
    "dial($self, targets, strategy=None, timeout=None, headers=None, profile=None, "
    "from_uri=None, from_display=None, p_asserted_identity=None, privacy=None, "
    "on_answer=None, ringback=None)\n"
    "--\n"
    "\n"
    "Ring one or more targets as B-legs while the caller stays unanswered and the\n"
    "application keeps the channel.\n"
    "\n"
    "The difference from ``route()`` is who holds the call afterwards: ``route()``\n"
    "hands it back to the switch (the application gets StasisEnd with reason\n"
    "routed and loses it), so there is no way to say \"ring the extension, and if\n"
    "nobody answers, voicemail\" without answering the caller first, which starts\n"
    "billing before anyone picks up, records an unanswered call as answered and\n"
    "denies the caller the callee's own ringback. The first 2xx answers the caller\n"
    "with the winner's SDP and the pair becomes an ordinary two-leg call, still\n"
    "owned by the application; a failure or a timeout arrives as a \"DialFailed\"\n"
    "event with the caller still ringing and still parked.\n"
    "\n"
    "Every branch is named on the event stream: \"DialBranch\" when it is created,\n"
    "then \"DialBranchFailed\" (with code, reason and a cause of rejected, timeout,\n"
    "cancelled or unsent) or \"DialAnswered\". Each carries \"leg_id\" and\n"
    "\"leg_sip_call_id\", the Call-ID the branch's INVITE went out with, and\n"
    "\"DialFailed\" lists every branch under \"branches\".\n"
    "\n"
    "Each target is a dict. One with \"uri\" (and optionally \"next_hop\" and\n"
    "\"headers\") is dialled as written and resolved by DNS. One with \"aor\" is forked\n"
    "to every contact registered against it, each branch over that contact's own\n"
    "captured flow: the only way to reach a phone registered over TCP, TLS or WSS\n"
    "behind NAT. A bare string is refused because it does not say which was meant,\n"
    "and the wrong one places a call that connects to nothing while the trace\n"
    "looks healthy. Either form may carry \"to\", the branch's called party (its To\n"
    "URI): the target's URI is the Request-URI, and without \"to\" the B-leg's To\n"
    "keeps the caller's user at the target's host, right for a forward and wrong\n"
    "for a divert. The switch keeps it as the leg's dialog To, so a \"headers\"\n"
    "override is no substitute.\n"
    "\n"
    "``strategy`` is \"parallel\" or \"sequential\" and ``timeout`` the ring timeout\n"
    "in seconds; each left out takes the server's default (parallel, 30 s).\n"
    "``headers`` applies to every branch's INVITE. ``profile`` names a configured\n"
    "media profile and anchors both legs through it.\n"
    "\n"
    "``from_uri``, ``from_display``, ``p_asserted_identity`` and ``privacy``\n"
    "(\"allowed\" or \"restricted\") present a calling identity of the application's\n"
    "choosing, which a ``headers`` entry cannot do because From is managed by the\n"
    "switch on a B-leg. ``privacy=\"restricted\"`` anonymises From and asserts\n"
    "\"Privacy: id\" while ``p_asserted_identity`` keeps the real identity for the\n"
    "trusted next hop (RFC 3323 section 4.1, RFC 3325 section 9.1, 3GPP TS 24.607).\n"
    "\n"
    "``on_answer=\"bridge\"`` rings phones for a caller the application has already\n"
    "answered and anchored (``answer_anchored()``), which lets it play a greeting\n"
    "and a menu first, and bridges the first phone to pick up; each phone is a call\n"
    "the switch places itself, and none of the caller's INVITE headers reach it.\n"
    "``ringback`` is what the caller hears while phones alert: a tone preset or\n"
    "cadence (such as \"ringback_eu\" or \"425/1000,0/4000*inf\"), True for the\n"
    "default or False for none; left out, the server plays ringback_eu. It raises\n"
    "ValueError without ``on_answer=\"bridge\"``. An answer is kept only once its\n"
    "phone is bridged: a phone whose bridge fails is hung up (\"DialBranchFailed\"\n"
    "with cause bridge_failed) and the dial goes on; \"DialAnswered\" names the\n"
    "bridged phone and a channel the switch minted for it; \"DialFailed\" carries a\n"
    "cause and leaves the caller answered and owned.\n"
    "\n"
    "Resolves to {\"channel\", \"targets\", \"strategy\", \"timeout\"}, where \"targets\"\n"
    "counts the branches the server resolved (one address-of-record registered on\n"
    "three devices reports three). A bridging dial adds \"on_answer\", \"group_id\",\n"
    "\"total_timeout\", \"ringback\" and \"branches\" (one dict per phone, as its\n"
    "\"DialBranch\" event names it). The switch refuses with code \"not_found\" (the\n"
    "call is gone, or no target yielded a branch), \"invalid_state\" (already\n"
    "answered; for a bridging dial: not answered, not anchored, already bridged, or\n"
    "a dial already in progress), \"bad_request\" or \"unsupported_verb\".\n";

constexpr const char* kCancelDialDoc =
    "cancel_dial($self, reason=None)\n"
    "--\n"
    "\n"
    "Give up on the dial ringing for this call and leave the caller alone.\n"
    "\n"
    "Every phone still ringing is CANCELled, each reported by \"DialBranchFailed\"\n"
    "with cause cancelled, and the dial ends in \"DialFailed\" with code 487. The\n"
    "caller is exactly as the dial found it, still the application's, and free to\n"
    "be dialled again (``hangup()`` ends the caller as well). ``reason`` is\n"
    "reported as the cause of a bridging dial's \"DialFailed\" (by default\n"
    "cancelled). The switch refuses with \"invalid_state\" when nothing is ringing,\n"
    "and once a phone has answered and is being bridged.\n";

constexpr const char* kRouteDoc =
    "route($self, targets, strategy=..., headers=None)\n"
    "--\n"
    "\n"
    "Un-park the call and dial the B-leg through the switch's least-cost-routing\n"
    "sequential-failover engine, returning control of the call to the switch.\n"
    "\n"
    "``targets`` is a non-empty list of carriers tried cheapest-first, each a bare\n"
    "URI str or a dict with \"uri\" and optionally \"next_hop\", \"headers\",\n"
    "\"timeout\" and \"reroute_after_progress\". A target's \"timeout\" bounds the wait\n"
    "for it to show progress (a 101 to 199 response); one that has shown progress\n"
    "keeps the call past it, and the call then fails with 408, unless it sets\n"
    "\"reroute_after_progress\" to True. That flag must be a bool (anything else\n"
    "raises TypeError) and is sent only when true.\n"
    "\n"
    "``strategy`` defaults to \"sequential\" and is sent as given; the switch's\n"
    "version 1 supports only sequential and single, and refuses anything else with\n"
    "ControlError code \"unsupported_verb\". ``headers`` applies to every attempt's\n"
    "B-leg INVITE.\n"
    "\n"
    "Resolves to the reply's result, {\"channel\", \"state\": \"routing\", \"targets\":\n"
    "N}. An empty or invalid target list is refused by the switch with\n"
    "\"bad_request\", a call that is already gone with \"not_found\".\n";

constexpr const char* kBridgeDoc =
    "bridge($self, with_channel, on_peer_hangup=None)\n"
    "--\n"
    "\n"
    "Join this call to the answered leg ``with_channel`` so that the two parties\n"
    "hear each other.\n"
    "\n"
    "This call is the anchor: it keeps its media session, its ports and everything\n"
    "attached to them, while the other leg's own media session is deleted and it\n"
    "becomes the second party on this one's. So bridge into the leg whose media you\n"
    "want to keep (the one being recorded, teed, or carrying the prompt). Both legs\n"
    "must already be answered.\n"
    "\n"
    "``on_peer_hangup`` is \"hangup\" (the switch's default) to tear the survivor\n"
    "down when its partner leaves, or \"hold\" to keep it up, held and still owned,\n"
    "so that it can be bridged to somebody else; anything else raises ValueError.\n"
    "\n"
    "Returns as soon as the media has been re-pointed and the first re-INVITE is\n"
    "on the wire, which is offered, not bridged: a bridge is two RFC 3261 section\n"
    "14 re-INVITEs across two dialogs, so the outcome arrives on the event stream\n"
    "as exactly one \"ChannelBridged\" or \"BridgeFailed\", on both channels. Resolves\n"
    "to the reply's result, {\"channel\", \"with\", \"call_id\", \"peer_call_id\",\n"
    "\"anchored\", \"on_peer_hangup\", \"state\": \"bridging\"}. The switch refuses\n"
    "with code \"not_found\" (no such leg), \"invalid_state\" (a leg has not\n"
    "answered, is already bridged, has a re-INVITE outstanding, or carries no\n"
    "media description), \"bad_request\" (the same leg named twice), \"forbidden\"\n"
    "(the other channel belongs to another application) or \"unsupported_verb\"\n"
    "(the media backend cannot express it).\n";

constexpr const char* kUnbridgeDoc =
    "unbridge($self, reason=None)\n"
    "--\n"
    "\n"
    "Break this call's bridge, keeping both legs.\n"
    "\n"
    "Both legs stay answered, owned and held, re-offered \"a=sendonly\" (RFC 3264\n"
    "section 8.4, which RFC 6337 section 3.1 prefers to a connection address of\n"
    "0.0.0.0). Neither is hung up: that would be indistinguishable from two\n"
    "hangups and would take away calls the application still owns. A later\n"
    "``bridge()`` re-offers \"sendrecv\".\n"
    "\n"
    "``reason`` is free text carried on the \"ChannelUnbridged\" event that both\n"
    "channels receive (the switch's default is \"unbridged\"). Resolves to the\n"
    "reply's result, {\"channel\", \"with\", \"reason\", \"state\": \"unbridged\"},\n"
    "where \"with\" is the channel id of the leg that was on the other side. A call\n"
    "that is not bridged is refused with \"invalid_state\".\n";

constexpr const char* kReferDoc =
    "refer($self, to)\n"
    "--\n"
    "\n"
    "Blind-transfer the call to ``to`` by sending a REFER.\n"
    "\n"
    "The reply only says that the REFER is on the wire. The outcome arrives later\n"
    "on the call's event stream as zero or more \"TransferProgress\" events and\n"
    "exactly one \"TransferCompleted\" or \"TransferFailed\" (RFC 3515 section\n"
    "2.4.4); ``is_transfer_final()`` and ``transfer_outcome()`` recognise them.\n";

constexpr const char* kTransferDoc =
    "transfer($self, to)\n"
    "--\n"
    "\n"
    "Blind-transfer alias for `refer`.";

constexpr const char* kAcceptReferDoc =
    "accept_refer($self, target=None, next_hop=None, mode=None, profile=None, *, aor=None, "
    "from_uri=None, from_display=None, p_asserted_identity=None, privacy=None, headers=None, "
    "timeout=None, number_policy=None, format=None)\n"
    "--\n"
    "\n"
    "Accept the pending inbound REFER (announced by a \"TransferRequested\" event)\n"
    "and run the transfer.\n"
    "\n"
    "``mode`` is \"terminate\" or \"transparent\", or \"controller\" (below), and is\n"
    "sent as given. ``target`` overrides the Refer-To URI and ``next_hop`` steers\n"
    "egress. A transparent transfer dials no leg, so the identity arguments and\n"
    "``aor`` apply to \"terminate\" only. ``aor`` dials the target over the flow its\n"
    "phone registered on: all registered contacts ring, the first to answer wins\n"
    "and the others are cancelled; it cannot be combined with ``target``.\n"
    "``profile`` names the media profile for the pairing the transfer creates and\n"
    "is needed when the call is anchored with a direction-bound profile such as\n"
    "\"srtp_to_rtp\" (commonly \"rtp_passthrough\" is passed). ``privacy`` is\n"
    "\"allowed\" or \"restricted\". ``number_policy`` and ``format`` (\"e164\",\n"
    "\"plain\", \"international\", \"national\") are refused by the switch when given\n"
    "together. With no pending REFER the switch answers not_found.\n"
    "\n"
    "With ``mode=\"controller\"`` the application carries out the transfer itself:\n"
    "the switch answers 202, sends the first sipfrag NOTIFY and dials nothing. The\n"
    "application moves the parties with ``bridge()``, ``unbridge()``,\n"
    "``replace_peer()`` or ``dial()`` and then reports with ``complete_refer()``.\n"
    "``timeout`` is the number of seconds it has to report in (the switch's\n"
    "default is 60, its maximum 180), after which the switch reports 503 to the\n"
    "referrer and sends the application a \"TransferTimedOut\" event whose payload\n"
    "carries \"reason\" (\"timeout\"), \"code\" (503) and \"referrer_leg\" (\"a\" or\n"
    "\"b\"). In this mode every argument but ``timeout`` raises ValueError, and\n"
    "``timeout`` raises ValueError in every other mode.\n";

constexpr const char* kRejectReferDoc =
    "reject_refer($self, code, reason=None)\n"
    "--\n"
    "\n"
    "Reject the pending inbound REFER with a final non-2xx response whose status\n"
    "is ``code`` (such as 603 Decline). With no pending REFER the switch answers\n"
    "not_found.\n";

constexpr const char* kCompleteReferDoc =
    "complete_refer($self, code, reason=None)\n"
    "--\n"
    "\n"
    "Report the outcome of a controller transfer (``accept_refer(mode=\"controller\")``).\n"
    "\n"
    "The switch sends the referrer the sipfrag NOTIFY that ends its subscription,\n"
    "with ``code`` (200 to 699; a 2xx for success) as the status and ``reason`` as\n"
    "the reason phrase. It must be sent before the referrer's leg is released\n"
    "(afterwards not_found); with no controller transfer open on the call the\n"
    "switch answers invalid_state.\n";

constexpr const char* kReplacePeerDoc =
    "replace_peer($self, target=None, next_hop=None, replace_a_leg=None, profile=None, "
    "timeout=None, *, aor=None, from_uri=None, from_display=None, p_asserted_identity=None, "
    "privacy=None, headers=None, number_policy=None, format=None)\n"
    "--\n"
    "\n"
    "Replace one leg of this answered call with a new leg to ``target`` (a URI) or\n"
    "``aor`` (every phone registered at that address-of-record), without any\n"
    "REFER. Exactly one of the two is required.\n"
    "\n"
    "The switch dials the target as a new leg on the same call and keeps the\n"
    "replaced leg up while the target rings (the surviving party hears ringback),\n"
    "re-anchors the surviving party's media, and once the target answers promotes\n"
    "it and sends BYE to the replaced leg. A target that refuses or never answers\n"
    "leaves the call as it was.\n"
    "\n"
    "``replace_a_leg`` False (the switch's default) replaces the callee, True the\n"
    "caller. ``timeout`` bounds the ring in seconds, 0 meaning no ring policy.\n"
    "``profile`` names the media profile for the new pairing, as for\n"
    "``accept_refer()``. ``next_hop``, ``from_uri``, ``from_display``,\n"
    "``p_asserted_identity``, ``privacy`` (\"allowed\" or \"restricted\"),\n"
    "``headers``, ``number_policy`` and ``format`` shape the new leg.\n"
    "\n"
    "Resolves to the reply's result, {\"channel\", \"replacement\": \"dialing\",\n"
    "\"target\"}, as soon as the INVITE is on the wire; the outcome arrives as a\n"
    "\"PeerReplaced\" or \"ReplaceFailed\" event. The switch answers not_found (no\n"
    "such call, or nobody registered at ``aor``), invalid_state (not answered, no\n"
    "peer leg, or a replacement already in flight) or bad_request (a target that\n"
    "does not parse or route).\n";

// ---------------------------------------------------------------------------
// The table

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;

const PyMethodDef kVerbs[] = {
    {"answer", FASTCALL(call_answer), kFlags, kAnswerDoc},
    {"answer_with", FASTCALL(call_answer_with), kFlags, kAnswerWithDoc},
    {"answer_anchored", FASTCALL(call_answer_anchored), kFlags, kAnswerAnchoredDoc},
    {"ring", FASTCALL((call_with_reason<kRing, SipVerb::Ring>)), kFlags, kRingDoc},
    {"progress", FASTCALL((call_bare<kProgress, SipVerb::Progress>)), kFlags, kProgressDoc},
    {"reject", FASTCALL((call_with_code<kReject, SipVerb::Reject>)), kFlags, kRejectDoc},
    {"hangup", FASTCALL((call_with_reason<kHangup, SipVerb::Hangup>)), kFlags, kHangupDoc},
    {"drop", FASTCALL(call_drop), kFlags, kDropDoc},
    {"cancel_dial", FASTCALL((call_with_reason<kCancelDial, SipVerb::CancelDial>)), kFlags,
     kCancelDialDoc},
    {"refer", FASTCALL(call_refer<kRefer>), kFlags, kReferDoc},
    {"transfer", FASTCALL(call_refer<kTransfer>), kFlags, kTransferDoc},
    {"accept_refer", FASTCALL(call_accept_refer), kFlags, kAcceptReferDoc},
    {"reject_refer", FASTCALL((call_with_code<kRejectRefer, SipVerb::RejectRefer>)), kFlags,
     kRejectReferDoc},
    {"complete_refer", FASTCALL((call_with_code<kCompleteRefer, SipVerb::CompleteRefer>)), kFlags,
     kCompleteReferDoc},
    {"bridge", FASTCALL(call_bridge), kFlags, kBridgeDoc},
    {"unbridge", FASTCALL(call_unbridge), kFlags, kUnbridgeDoc},
    {"replace_peer", FASTCALL(call_replace_peer), kFlags, kReplacePeerDoc},
    {"route", FASTCALL(call_route), kFlags, kRouteDoc},
    {"play", FASTCALL(call_play), kFlags, kPlayDoc},
    {"play_file", FASTCALL(call_play_file), kFlags, kPlayFileDoc},
    {"stop", FASTCALL((call_bare<kStop, SipVerb::Stop>)), kFlags, kStopDoc},
    {"dtmf", FASTCALL(call_dtmf), kFlags, kDtmfDoc},
    {"hold", FASTCALL((call_bare<kHold, SipVerb::Hold>)), kFlags, kHoldDoc},
    {"unhold", FASTCALL((call_bare<kUnhold, SipVerb::Unhold>)), kFlags, kUnholdDoc},
    {"stream_start", FASTCALL(call_stream_start), kFlags, kStreamStartDoc},
    {"stream_stop", FASTCALL(call_stream_stop), kFlags, kStreamStopDoc},
    {"dial", FASTCALL(call_dial), kFlags, kDialDoc},
    {"record_start", FASTCALL(call_record_start), kFlags, kRecordStartDoc},
    {"record_stop", FASTCALL(call_record_stop), kFlags, kRecordStopDoc},
};

}  // namespace

const PyMethodDef* find_verb_method(std::string_view name) {
  for (const PyMethodDef& def : kVerbs) {
    if (name == def.ml_name) return &def;
  }
  return nullptr;
}

}  // namespace fenwix::py
