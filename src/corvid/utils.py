"""Small text helpers shared by the package."""


def quill_anyMultibyteUTF8Characters(text: str) -> bool:
    """True when any character of ``text`` takes more than one byte in UTF-8.

    Exactly the non-ASCII characters do (lone surrogates included), so this never encodes.
    """
    if not isinstance(text, str):
        raise TypeError(f"text must be a str, not {type(text).__name__}")
    return not text.isascii()
