"""The asyncio bridge: outcomes produced on other threads reach futures on
the application's loop, in batches, and never touch a loop that is closed
or an interpreter that is going away. Also the handler awaitable guard.

The private testing module resolves futures from threads of its own, which
stand in for the network threads of the real module.
"""

import asyncio
import gc
import inspect
import threading
import warnings
import weakref

import pytest

import _fenwix_control_testing as t

from control_support import run_python


class Thing:
    pass


# ---------------------------------------------------------------------------
# Delivering outcomes


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({"result": '{"b":1,"a":[2.5,null]}'}, {"a": [2.5, None], "b": 1}),
        ({"result": None}, None),
        ({"result": '"text"'}, "text"),
        ({"result": '{"ignored":1}', "convert": "none"}, None),
    ],
)
async def test_values_reach_the_future(kwargs, expected):
    delay = 5
    assert await t.complete_later(delay, **kwargs) == expected
    assert await t.complete_later(0, **kwargs) == expected


async def test_errors_reach_the_future_as_control_error():
    with pytest.raises(t.ControlError) as info:
        await t.complete_later(5, error="no such channel")
    assert str(info.value) == "control command rejected (NotFound): no such channel"
    assert info.value.code == "not_found"


async def test_future_belongs_to_the_running_loop():
    future = t.complete_later(0)
    assert isinstance(future, asyncio.Future)
    assert future.get_loop() is asyncio.get_running_loop()
    await future


def test_without_a_running_loop_asyncio_raises():
    with pytest.raises(RuntimeError, match="no running event loop"):
        t.complete_later(0)


async def test_a_batch_wakes_the_loop_once():
    before = t.stats()
    futures = t.complete_batch(500)
    results = await asyncio.gather(*futures)
    after = t.stats()
    assert results == list(range(500))
    assert after["wakeups"] - before["wakeups"] == 1
    assert after["drains"] - before["drains"] == 1
    assert after["converted"] - before["converted"] == 500


async def test_a_cancelled_future_is_skipped_and_its_hook_runs():
    before = t.stats()
    future = t.complete_later(30, '{"a":1}', cancel_hook=True)
    plain = t.complete_later(30, '{"a":1}')
    await asyncio.sleep(0)
    future.cancel()
    plain.cancel()
    await asyncio.sleep(0.1)
    after = t.stats()
    assert future.cancelled() and plain.cancelled()
    assert after["cancel_hooks"] - before["cancel_hooks"] == 1
    # Neither reply was converted: nobody was waiting for it.
    assert after["converted"] == before["converted"]


async def test_no_hook_runs_for_a_future_that_completes():
    before = t.stats()
    assert await t.complete_later(0, "1", cancel_hook=True) == 1
    await asyncio.sleep(0.01)
    assert t.stats()["cancel_hooks"] == before["cancel_hooks"]


async def test_an_abandoned_completion_cancels_its_future():
    future = t.hold()
    t.abandon_held()
    with pytest.raises(asyncio.CancelledError):
        await future


async def test_a_background_task_that_fails_is_not_passed_off_as_cancelled():
    with pytest.raises(SystemError, match="^a background task failed: boom$"):
        await t.fail_in_background()


async def test_tasks_run_on_the_loop_thread():
    ran = asyncio.Event()
    threads = []

    def task():
        threads.append(threading.get_ident())
        ran.set()

    t.run_on_loop_from_thread(task)
    await asyncio.wait_for(ran.wait(), 5)
    assert threads == [threading.get_ident()]


async def test_a_dispatch_thread_uses_the_captured_loop():
    seen = []

    def handler():
        # No loop runs in this thread; the dispatch's loop is used.
        seen.append((threading.get_ident(), t.complete_later(0, "7")))

    await t.dispatch_on_thread(handler)
    (thread, future), = seen
    assert thread != threading.get_ident()
    assert future.get_loop() is asyncio.get_running_loop()
    assert await future == 7


async def test_outside_a_dispatch_another_thread_has_no_loop():
    errors = []

    def worker():
        try:
            t.complete_later(0)
        except RuntimeError as error:
            errors.append(str(error))

    thread = threading.Thread(target=worker)
    thread.start()
    thread.join()
    assert errors == ["no running event loop"]


async def test_a_dispatch_error_reaches_its_future():
    def handler():
        raise KeyError("boom")

    with pytest.raises(KeyError, match="boom"):
        await t.dispatch_on_thread(handler)


def test_loops_in_several_threads_each_get_their_own_outcomes():
    results = {}

    def run(name):
        async def main():
            values = await asyncio.gather(*(t.complete_later(i % 3, str(i)) for i in range(50)))
            return asyncio.get_running_loop(), values

        loop, values = asyncio.run(main())
        results[name] = values

    threads = [threading.Thread(target=run, args=(n,)) for n in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == {n: list(range(50)) for n in range(4)}


# ---------------------------------------------------------------------------
# Loops that close or go away


def test_a_loop_that_dies_is_forgotten():
    gc.collect()
    before = t.stats()["channels"]

    async def main():
        assert await t.complete_later(0, "1") == 1
        return weakref.ref(asyncio.get_running_loop())

    loops = [asyncio.run(main()) for _ in range(3)]
    gc.collect()
    assert all(loop() is None for loop in loops)
    assert t.stats()["channels"] == before


def test_outcomes_for_a_closed_loop_are_dropped_silently(capfd):
    gc.collect()
    before = t.stats()["channels"]

    async def main(count):
        futures = [t.hold() for _ in range(count)]
        return weakref.ref(asyncio.get_running_loop()), [weakref.ref(f) for f in futures]

    resolved_loop, resolved = asyncio.run(main(3))
    t.resolve_held("1")
    abandoned_loop, abandoned = asyncio.run(main(2))
    t.abandon_held()
    # The dropped outcomes were released on threads without the lock; the
    # bridge's next run on any loop releases them.
    async def flush():
        await t.complete_later(0)

    asyncio.run(flush())
    gc.collect()
    assert resolved_loop() is None and abandoned_loop() is None
    assert all(f() is None for f in resolved + abandoned)
    assert t.stats()["channels"] == before
    assert capfd.readouterr() == ("", "")


class ReaderlessLoop(asyncio.SelectorEventLoop):
    """A loop without add_reader: the bridge falls back to call_soon_threadsafe."""

    def __init__(self):
        super().__init__()
        self.deliveries = 0

    def add_reader(self, fd, callback, *args):
        raise NotImplementedError

    def call_soon_threadsafe(self, callback, *args, context=None):
        if getattr(callback, "__name__", "") == "_deliver":
            self.deliveries += 1
        return super().call_soon_threadsafe(callback, *args, context=context)


def test_a_loop_without_add_reader_is_woken_with_call_soon_threadsafe():
    async def main():
        loop = asyncio.get_running_loop()
        assert await t.complete_later(5, "1") == 1
        futures = t.complete_batch(200)
        assert await asyncio.gather(*futures) == list(range(200))
        dispatched = []
        await t.dispatch_on_thread(lambda: dispatched.append(t.complete_later(0, "2")))
        assert await dispatched[0] == 2
        return loop.deliveries

    with asyncio.Runner(loop_factory=ReaderlessLoop) as runner:
        deliveries = runner.run(main())
    # One wake-up per batch: the delay, the batch, the dispatch, its future.
    assert 3 <= deliveries <= 5


def test_a_closed_loop_without_add_reader_drops_outcomes(capfd):
    async def main():
        return [t.hold() for _ in range(3)]

    with asyncio.Runner(loop_factory=ReaderlessLoop) as runner:
        runner.run(main())
    t.resolve_held("1")
    gc.collect()
    assert capfd.readouterr() == ("", "")


# ---------------------------------------------------------------------------
# References dropped on other threads


async def test_references_dropped_without_the_lock_are_released_later():
    await t.complete_later(0)
    before = t.deferred_count()
    thing = Thing()
    alive = weakref.ref(thing)
    t.drop_on_thread(thing)
    del thing
    # Parked: the thread that dropped it could not touch the interpreter.
    assert alive() is not None
    assert t.deferred_count() == before + 1
    # The next time the bridge runs on the loop, the pool is emptied.
    await t.complete_later(0)
    assert alive() is None
    assert t.deferred_count() == 0


# ---------------------------------------------------------------------------
# Interpreter going away


def test_after_going_away_conversions_fail_and_references_leak():
    result = run_python(
        """
        import asyncio, weakref
        import _fenwix_control_testing as t

        class Thing:
            pass

        async def main():
            value = t.complete_later(50, '{"a":1}')
            nothing = t.complete_later(50, convert="none")
            rejected = t.complete_later(50, error="gone")
            t.mark_going_away()
            try:
                await value
            except t.ControlError as error:
                assert str(error) == "the Python interpreter shut down while this command was in flight"
                assert not hasattr(error, "code")
            else:
                raise AssertionError("a converted value after going away")
            assert await nothing is None
            try:
                await rejected
            except t.ControlError as error:
                assert str(error) == "control command rejected (NotFound): gone"
                assert not hasattr(error, "code")
            assert not hasattr(t.make_error("Closed"), "code")

            thing = Thing()
            alive = weakref.ref(thing)
            t.drop_on_thread(thing)
            del thing
            await t.complete_later(0, convert="none")
            assert alive() is not None, "released after going away"
            assert t.deferred_count() == 0, "parked after going away"

        asyncio.run(main())
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"
    assert result.stderr == ""


@pytest.mark.parametrize("mark_at_exit", [False, True])
def test_exiting_with_work_in_flight_is_clean(mark_at_exit):
    result = run_python(
        f"""
        import asyncio, atexit
        import _fenwix_control_testing as t
        if {mark_at_exit}:
            atexit.register(t.mark_going_away)

        async def main():
            for delay in range(0, 60, 3):
                t.complete_later(delay, '{{"a":[1,2]}}', cancel_hook=True)
                t.complete_later(delay, convert="none")
            await t.dispatch_on_thread(lambda: t.complete_later(40, "1"))
            t.hold()

        asyncio.run(main())
        """
    )
    assert result.returncode == 0, result.stderr
    assert (result.stdout, result.stderr) == ("", "")


# ---------------------------------------------------------------------------
# UnlessClosed


@pytest.fixture
def closed_flag():
    t.set_closed(False)
    yield t.set_closed
    t.set_closed(False)


async def test_unless_closed_is_transparent_while_open(closed_flag):
    async def handler():
        await asyncio.sleep(0)
        return 42

    async def failing():
        raise LookupError("from the handler")

    assert await t.unless_closed(handler()) == 42
    assert await asyncio.ensure_future(t.unless_closed(handler())) == 42
    with pytest.raises(LookupError, match="from the handler"):
        await t.unless_closed(failing())


async def test_unless_closed_closes_a_coroutine_that_never_started(closed_flag):
    started = []

    async def handler():
        started.append(True)

    coroutine = handler()
    wrapper = t.unless_closed(coroutine)
    closed_flag(True)  # the flag is read when the wrapper is awaited
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert await wrapper is None
    assert started == []
    assert inspect.getcoroutinestate(coroutine) == inspect.CORO_CLOSED


async def test_unless_closed_reads_the_flag_once_at_first_await(closed_flag):
    closed_flag(True)
    coroutine = asyncio.sleep(0, "ran")
    wrapper = t.unless_closed(coroutine)
    closed_flag(False)
    assert await wrapper == "ran"

    gate = asyncio.Event()

    async def handler():
        await gate.wait()
        return "finished"

    task = asyncio.ensure_future(t.unless_closed(handler()))
    await asyncio.sleep(0)
    closed_flag(True)  # a started handler runs to its end
    gate.set()
    assert await task == "finished"


class AwaitOnly:
    def __init__(self):
        self.awaited = False

    def __await__(self):
        self.awaited = True
        return iter(())


class BadClose(AwaitOnly):
    def close(self):
        raise OSError("cannot close")


async def test_unless_closed_with_awaitables_that_are_not_coroutines(closed_flag):
    closed_flag(True)
    plain = AwaitOnly()
    assert await t.unless_closed(plain) is None
    assert not plain.awaited
    with pytest.raises(OSError, match="cannot close"):
        await t.unless_closed(BadClose())
    closed_flag(False)
    plain = AwaitOnly()
    assert await t.unless_closed(plain) is None
    assert plain.awaited


def test_unless_closed_type_is_private_and_not_constructible():
    wrapper = t.unless_closed(AwaitOnly())
    cls = type(wrapper)
    assert cls.__name__ == "UnlessClosed"
    assert cls.__module__ == "fenwix_control"
    assert [name for name in dir(cls) if not name.startswith("__")] == []
    assert "__await__" in vars(cls)
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        cls(AwaitOnly())
