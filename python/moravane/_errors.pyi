class LinkError(Exception):
    code: int
    message: str
    should_reconnect: bool
    def __init__(self, code: int, message: str = ..., should_reconnect: bool = ...) -> None: ...
