"""Runs a call on another thread and hands back what it raised (the thread-bound classes)."""
import threading


def raised_on_other_thread(fn):
    """Calls fn() on a new thread; returns the exception it raised, or None."""
    caught = []

    def run():
        try:
            fn()
        except BaseException as e:  # noqa: B036 - PanicException derives from BaseException
            caught.append(e)

    t = threading.Thread(target=run)
    t.start()
    t.join()
    return caught[0] if caught else None
