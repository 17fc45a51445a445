"""What Rack and Stream share as context managers."""


class OpenedInWith:
    """`with thing:` opens it on entry and closes it on leaving."""

    def __enter__(self):
        self.open()
        return self

    def __exit__(self, *exc):
        self.close()
