"""The one exception of the link."""


class LinkError(Exception):
    """A remote operation failed.

    Attributes:
        code: the result code, a signed 32-bit HRESULT of the server or of
            COM, or one of the library's own codes (``NO_REMOTE_OBJECT``,
            ``SHARED_MEMORY_FAILED``).
        message: the server's text, ``""`` when it sent none.
        should_reconnect: True when the link itself is gone (the server
            died or the handle holds no remote object): link again.
    """

    def __init__(self, code, message="", should_reconnect=False):
        super().__init__(code, message, should_reconnect)
        self.code = int(code)
        self.message = str(message)
        self.should_reconnect = bool(should_reconnect)

    def __str__(self):
        text = "link error 0x%08X" % (self.code & 0xFFFFFFFF)
        return text + (": " + self.message if self.message else "")
