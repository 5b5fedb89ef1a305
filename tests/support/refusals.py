"""What a reader refuses: the one line the school is shown."""

import pytest

from rotavel_app.messages import InputError


def refusal(fn, *args, **kwargs) -> str:
    """The message of the InputError `fn` raises; fails the test when it raises none."""
    with pytest.raises(InputError) as caught:
        fn(*args, **kwargs)
    return str(caught.value)
