from typing import Any

class native_function:
    """A function of the package implemented natively."""

    __name__: str
    __qualname__: str
    __module__: str
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...
    def __get__(self, instance: object, owner: object = None) -> Any: ...
    @property
    def __signature__(self) -> Any: ...
    @property
    def __annotations__(self) -> dict[str, Any]: ...  # type: ignore[override]
    @property
    def __globals__(self) -> dict[str, Any]: ...
    def __reduce__(self) -> str: ...
