"""What keeps the desk's pages to the people who run it: the password, kept
as a slow salted hash; the login throttle; the serve state file.

Standard library only, so the command can set a password without the web
extra loaded.
"""

from __future__ import annotations

import base64
import hashlib
import hmac
import json
import os
import secrets
import threading
import time
from collections.abc import Callable
from pathlib import Path

from rotavel_cli.records import record, replace

# scrypt at 2**15 x 8 x 1 takes about 32 MiB and a few tens of milliseconds a try: cheap for
# one login, dear for a guesser with a copy of the file.
SCRYPT_N = 2**15
SCRYPT_R = 8
SCRYPT_P = 1
_SCRYPT_MAXMEM = 64 * 1024 * 1024
MIN_PASSWORD = 8


class StateError(Exception):
    """The serve state file cannot be read or written; the message is one line."""


def hash_password(password: str, salt: bytes | None = None) -> str:
    """ "scrypt$N$r$p$salt$hash", salt and hash in base64."""
    salt = salt if salt is not None else secrets.token_bytes(16)
    digest = _scrypt(password, salt, SCRYPT_N, SCRYPT_R, SCRYPT_P)
    return "$".join(
        ["scrypt", str(SCRYPT_N), str(SCRYPT_R), str(SCRYPT_P), _b64(salt), _b64(digest)]
    )


def check_password(password: str, stored: str) -> bool:
    try:
        kind, n, r, p, salt, digest = stored.split("$")
        if kind != "scrypt":
            return False
        expected = base64.b64decode(digest, validate=True)
        actual = _scrypt(password, base64.b64decode(salt, validate=True), int(n), int(r), int(p))
    except ValueError:  # a damaged hash matches nothing
        return False
    return hmac.compare_digest(actual, expected)


def _scrypt(password: str, salt: bytes, n: int, r: int, p: int) -> bytes:
    return hashlib.scrypt(
        password.encode("utf-8", "surrogatepass"),
        salt=salt,
        n=n,
        r=r,
        p=p,
        maxmem=_SCRYPT_MAXMEM,
        dklen=32,
    )


def _b64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


class Throttle:
    """Slows down guessing: after each wrong password no login is tried for a
    while, twice as long after every further failure, up to `longest` seconds.
    One throttle for the whole process, whoever tries: the password is what
    it guards, not an account per client."""

    def __init__(
        self, first: float = 1.0, longest: float = 60.0, clock: Callable[[], float] = time.monotonic
    ) -> None:
        self.first = first
        self.longest = longest
        self.clock = clock
        self.failures = 0
        self._until = 0.0
        self._lock = threading.Lock()

    def wait(self) -> float:
        """Seconds until the next try is heard; 0 when it may go ahead."""
        with self._lock:
            return max(0.0, self._until - self.clock())

    def failed(self) -> float:
        """Count a wrong password; the seconds before the next try."""
        with self._lock:
            self.failures += 1
            delay: float = min(self.first * 2.0 ** (self.failures - 1), self.longest)
            self._until = self.clock() + delay
            return delay

    def succeeded(self) -> None:
        with self._lock:
            self.failures = 0
            self._until = 0.0


@record(frozen=True)
class ServeState:
    """What `rotavel serve` keeps between runs, beside the desk's database."""

    secret_key: str  # signs the session cookies
    board_token: str  # the board's link without a login
    password: str | None = None  # hash_password's text
    epoch: int = 0  # raised when the password changes, which ends every session

    @classmethod
    def new(cls) -> ServeState:
        return cls(secrets.token_hex(32), new_board_token())


def new_board_token() -> str:
    return secrets.token_urlsafe(32)


class StateFile:
    """The state as a small JSON file, readable by its owner only, replaced
    whole on every change so a crash never leaves half of it."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self._lock = threading.RLock()  # a change reads, then writes, as one step
        # Every page asks for the state (is this session's password still the one?);
        # the file is read again only when it changed, by this process or another.
        self._kept: tuple[tuple[int, int, int], ServeState] | None = None

    def load(self) -> ServeState:
        """The saved state, or a new one (saved) on the first start."""
        with self._lock:
            try:
                info = os.stat(self.path)
            except FileNotFoundError:
                info = None
            except OSError as error:
                raise StateError(f"{self.path}: cannot read: {error.strerror}") from None
            if info is not None and self._kept is not None:
                if self._kept[0] == (info.st_mtime_ns, info.st_size, info.st_ino):
                    return self._kept[1]
            try:
                text = self.path.read_text(encoding="utf-8")
            except FileNotFoundError:
                state = ServeState.new()
                self._save(state)
                return state
            except OSError as error:
                raise StateError(f"{self.path}: cannot read: {error.strerror}") from None
            try:
                data = json.loads(text)
                state = ServeState(
                    secret_key=_text(data["secret_key"]),
                    board_token=_text(data["board_token"]),
                    password=None if data.get("password") is None else _text(data["password"]),
                    epoch=int(data.get("epoch", 0)),
                )
            except (ValueError, KeyError, TypeError):
                raise StateError(
                    f"{self.path}: damaged; delete it and set the password again"
                ) from None
            if info is not None:
                self._kept = ((info.st_mtime_ns, info.st_size, info.st_ino), state)
            return state

    def update(self, **changes: object) -> ServeState:
        """Change some fields of the saved state (read afresh) and save it."""
        with self._lock:
            state = replace(self.load(), **changes)
            self._save(state)
            return state

    def set_password(self, password: str) -> ServeState:
        digest = hash_password(password)  # slow: outside the lock
        with self._lock:
            return self.update(password=digest, epoch=self.load().epoch + 1)

    def renew_board_token(self) -> ServeState:
        return self.update(board_token=new_board_token())

    def _save(self, state: ServeState) -> None:
        data = json.dumps(
            {
                "secret_key": state.secret_key,
                "board_token": state.board_token,
                "password": state.password,
                "epoch": state.epoch,
            },
            indent=1,
        )
        temporary = self.path.with_name(f".{self.path.name}.{secrets.token_hex(4)}.tmp")
        try:
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
            with os.fdopen(fd, "w", encoding="utf-8") as file:
                file.write(data + "\n")
                file.flush()
                os.fsync(file.fileno())
            os.replace(temporary, self.path)
        except OSError as error:
            temporary.unlink(missing_ok=True)
            raise StateError(f"{self.path}: cannot write: {error.strerror}") from None


def _text(value: object) -> str:
    if not isinstance(value, str) or not value:
        raise ValueError(value)
    return value
