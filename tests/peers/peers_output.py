"""What a program started by a test must never print: Qt's warnings of an
object used, stopped or destroyed on a thread it does not live on. Such a
warning comes before a crash, often minutes later, so it fails the test
that saw it."""

THREAD_WARNINGS = ("from another thread", "different thread")


def thread_warnings(text):
    """The lines of text (str or bytes) that hold such a warning."""
    if isinstance(text, bytes):
        text = text.decode("utf-8", "replace")
    return [line for line in text.splitlines() if any(w in line for w in THREAD_WARNINGS)]
