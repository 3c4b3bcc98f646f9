"""ControlServer under abuse: upgrades dribbled one byte a second, bad and
missing tokens, a thousand connections opened and dropped at once, and an
upgrade request with a megabyte of header. Real calls are served on time
throughout, and the server keeps no descriptor of a connection it dropped."""

import asyncio
import socket
import struct
import time

import pytest

import fenwix_control

from faults_support import open_descriptors, report, scale

UPGRADE_DEADLINE = 10.0


def upgrade_request(authorization_lines=(b"Authorization: Bearer tok\r\n",), extra=b""):
    return (b"GET /call HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
            b"Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
            b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
            b"Sec-WebSocket-Protocol: fenwix-control.v1\r\n"
            + b"".join(authorization_lines) + extra + b"\r\n")


class Server:
    """A ControlServer whose handler answers each call and counts them."""

    def __init__(self):
        self.server = fenwix_control.ControlServer("faults", "tok", bind="127.0.0.1:0")
        self.calls = 0

        @self.server.on_call
        async def handle(call):
            self.calls += 1
            await call.answer()

    async def __aenter__(self):
        self.serving = asyncio.ensure_future(self.server.serve())
        self.address = await self.server.bind()
        host, port = self.address.rsplit(":", 1)
        self.host, self.port = host, int(port)
        return self

    async def __aexit__(self, *_):
        self.server.close()
        self.serving.cancel()


async def serve_one_call(server, dialer, channel):
    """Dials one call and returns how long it took until the application's
    answer reached the switch."""
    started = time.monotonic()
    await dialer.dial(channel)
    await dialer.next_command("answer", channel=channel, timeout=10)
    return time.monotonic() - started


async def test_dribbled_upgrades_are_cut_at_the_deadline_while_calls_go_on(dialer_factory):
    slow = scale(20, 200)
    async with Server() as server:
        dialer = dialer_factory(f"ws://{server.address}/", app="faults")
        request = upgrade_request()

        async def dribble():
            reader, writer = await asyncio.open_connection(server.host, server.port)
            opened = time.monotonic()
            try:
                for byte in request:
                    writer.write(bytes([byte]))
                    await writer.drain()
                    try:
                        if await asyncio.wait_for(reader.read(1), 1.0) == b"":
                            break  # the server closed the connection
                    except TimeoutError:
                        continue
            except (ConnectionResetError, BrokenPipeError):
                pass
            finally:
                writer.close()
            return time.monotonic() - opened

        dribblers = [asyncio.ensure_future(dribble()) for _ in range(slow)]
        latencies = []
        number = 0
        while not all(d.done() for d in dribblers):
            number += 1
            latencies.append(await serve_one_call(server, dialer, f"real-{number}"))
            await asyncio.sleep(0.5)
            assert number < 60, "the dribbled connections were never cut"
        lifetimes = [d.result() for d in dribblers]
    # Cut at the deadline, not by the request running out (that would take
    # far longer than the deadline at one byte a second).
    assert len(request) > UPGRADE_DEADLINE * 3
    assert all(UPGRADE_DEADLINE - 0.5 <= t <= UPGRADE_DEADLINE + 5 for t in lifetimes), lifetimes
    assert max(latencies) < 2.0, latencies
    report(f"slow upgrades: {slow} connections at one byte a second cut after "
           f"{min(lifetimes):.1f}-{max(lifetimes):.1f}s; {number} real calls meanwhile, answer "
           f"latency max {max(latencies) * 1000:.0f} ms, median "
           f"{sorted(latencies)[len(latencies) // 2] * 1000:.0f} ms")


# Authorization header lines of requests that must be refused with 401.
BAD_TOKENS = [
    ("no header", ()),
    ("empty value", (b"Authorization: \r\n",)),
    ("scheme only", (b"Authorization: Bearer\r\n",)),
    ("wrong token", (b"Authorization: Bearer wrong\r\n",)),
    ("token prefix", (b"Authorization: Bearer to\r\n",)),
    ("token extended", (b"Authorization: Bearer tokk\r\n",)),
    ("scheme in capitals", (b"Authorization: BEARER tok\r\n",)),
    ("two spaces", (b"Authorization: Bearer  tok\r\n",)),
    ("tab for the space", (b"Authorization: Bearer\ttok\r\n",)),
    ("other scheme", (b"Authorization: Basic dG9rOg==\r\n",)),
    ("non-ASCII token", ("Authorization: Bearer t\u00f6k\r\n".encode(),)),
    ("wrong first of two", (b"Authorization: Bearer wrong\r\n", b"Authorization: Bearer tok\r\n")),
    ("token in another header", (b"X-Authorization: Bearer tok\r\n",)),
]
GOOD_TOKENS = [
    ("Bearer", (b"Authorization: Bearer tok\r\n",)),
    ("bearer", (b"Authorization: bearer tok\r\n",)),
]


async def http_exchange(host, port, request, timeout=5.0):
    """Sends `request` and reads the answer until the server closes, or until
    the WebSocket upgrade's 101 head has arrived."""
    reader, writer = await asyncio.open_connection(host, port)
    try:
        writer.write(request)
        await writer.drain()
        answer = b""
        while True:
            chunk = await asyncio.wait_for(reader.read(65536), timeout)
            if not chunk:
                return answer, True
            answer += chunk
            if answer.startswith(b"HTTP/1.1 101") and b"\r\n\r\n" in answer:
                return answer, False
    finally:
        writer.close()


@pytest.mark.parametrize("label, lines", BAD_TOKENS + GOOD_TOKENS,
                         ids=[c[0] for c in BAD_TOKENS + GOOD_TOKENS])
async def test_tokens_at_the_upgrade(label, lines):
    async with Server() as server:
        answer, closed = await http_exchange(server.host, server.port, upgrade_request(lines))
        if (label, lines) in GOOD_TOKENS:
            assert answer.startswith(b"HTTP/1.1 101"), answer
            assert b"\r\nSec-WebSocket-Protocol: fenwix-control.v1\r\n" in answer
        else:
            assert answer.startswith(b"HTTP/1.1 401"), answer
            assert answer.endswith(b"\r\n\r\nunauthorized"), answer
            assert closed
        await asyncio.sleep(0.05)
        assert server.calls == 0


async def test_a_thousand_connections_opened_and_dropped(dialer_factory):
    count = scale(200, 1000)
    async with Server() as server:
        dialer = dialer_factory(f"ws://{server.address}/", app="faults")
        await serve_one_call(server, dialer, "warm-up")
        await asyncio.sleep(0.2)
        before = open_descriptors()

        async def open_and_drop(i):
            reader, writer = await asyncio.open_connection(server.host, server.port)
            sock = writer.get_extra_info("socket")
            if i % 3 == 1:
                writer.write(upgrade_request()[:40])  # half a request
            elif i % 3 == 2:
                # Reset instead of an orderly close.
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            writer.close()

        started = time.monotonic()
        await asyncio.gather(*(open_and_drop(i) for i in range(count)))
        opened = time.monotonic() - started
        latency = await serve_one_call(server, dialer, "after")
        # The server lets go of every dropped connection.
        deadline = time.monotonic() + 10
        while open_descriptors() > before + 5 and time.monotonic() < deadline:
            await asyncio.sleep(0.05)
        after = open_descriptors()
        assert after <= before + 5, (before, after)
        assert server.calls == 2
    assert latency < 2.0
    report(f"connection storm: {count} connections opened and dropped in {opened:.2f}s; next "
           f"call answered in {latency * 1000:.0f} ms; descriptors {before} before, {after} after")


async def test_a_megabyte_of_upgrade_header_is_refused_at_once(dialer_factory):
    async with Server() as server:
        request = upgrade_request(extra=b"X-Padding: " + b"a" * (1024 * 1024) + b"\r\n")
        started = time.monotonic()
        reader, writer = await asyncio.open_connection(server.host, server.port)
        closed_after = None
        try:
            writer.write(request)
            try:
                await asyncio.wait_for(writer.drain(), 5)
                answer = await asyncio.wait_for(reader.read(), 5)
            except (ConnectionResetError, BrokenPipeError):
                answer = b""
            closed_after = time.monotonic() - started
        finally:
            writer.close()
        assert not answer.startswith(b"HTTP/1.1 101"), answer[:200]
        # Refused as soon as the header outgrows its limit, not at the deadline.
        assert closed_after < UPGRADE_DEADLINE / 2, closed_after
        dialer = dialer_factory(f"ws://{server.address}/", app="faults")
        await serve_one_call(server, dialer, "after")
    report(f"1 MB upgrade header: connection refused after {closed_after * 1000:.0f} ms "
           f"({answer[:30]!r})")
