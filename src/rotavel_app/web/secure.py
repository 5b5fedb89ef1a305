"""What keeps the desk's pages to the people who run it: the password, kept
as a slow salted hash; the login throttle; the serve state file.

Standard library only, so the command can set a password without the web
extra loaded.
"""

from __future__ import annotations

import base64
import hashlib
import hmac
import ipaddress
import json
import os
import secrets
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any

from rotavel_app.language import _
from rotavel_app.output import OutputError, write_file

# scrypt at 2**15 x 8 x 1 takes about 32 MiB and a few tens of milliseconds a try: cheap for
# one login, dear for a guesser with a copy of the file.
SCRYPT_N = 2**15
SCRYPT_R = 8
SCRYPT_P = 1
_SCRYPT_MAXMEM = 64 * 1024 * 1024
MIN_PASSWORD = 8
# The largest request body: no form of the desk comes near it. The server refuses a
# larger one as it arrives, before it is stored anywhere; the pages' own check is Flask's.
MAX_BODY = 1024 * 1024


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
    """Slows down guessing, client by client: after each wrong password that
    client's next try waits a while, twice as long after every further
    failure, up to `longest` seconds, so a stranger guessing keeps only
    himself out. A try is counted as failed when it starts, before the slow
    hash, and forgiven when the password was right: guesses sent at once
    wait like guesses sent one after the other."""

    def __init__(
        self,
        first: float = 1.0,
        longest: float = 60.0,
        clock: Callable[[], float] = time.monotonic,
        clients: int = 10_000,
    ) -> None:
        self.first = first
        self.longest = longest
        self.clock = clock
        self.clients = clients  # clients remembered at most
        self._failures: dict[str, tuple[int, float]] = {}  # client -> (failures, until)
        self._lock = threading.Lock()

    def begin(self, client: str) -> tuple[bool, float]:
        """(True, seconds the next try waits should this one fail) when `client` may
        try now, the try counted as failed already; (False, seconds left) otherwise."""
        with self._lock:
            now = self.clock()
            failures, until = self._failures.get(client, (0, 0.0))
            if until > now:
                return False, until - now
            delay: float = min(self.first * 2.0**failures, self.longest)
            self._remember(client, (failures + 1, now + delay), now)
            return True, delay

    def wait(self, client: str) -> float:
        """Seconds until `client`'s next try is heard; 0 when it may go ahead."""
        with self._lock:
            return max(0.0, self._failures.get(client, (0, 0.0))[1] - self.clock())

    def failures(self, client: str) -> int:
        with self._lock:
            return self._failures.get(client, (0, 0.0))[0]

    def succeeded(self, client: str) -> None:
        with self._lock:
            self._failures.pop(client, None)

    def _remember(self, client: str, value: tuple[int, float], now: float) -> None:
        self._failures.pop(client, None)
        self._failures[client] = value  # last in the order: the most recent try
        if len(self._failures) > self.clients:
            # Those whose wait is over are forgotten first, then those whose wait ends
            # soonest (a tenth at a time): a flood of new addresses, each waiting a
            # second, does not free a guesser who has earned a long wait.
            kept = sorted(
                ((until, c) for c, (_, until) in self._failures.items() if until > now),
                reverse=True,
            )[: self.clients - self.clients // 10]
            self._failures = {c: self._failures[c] for _, c in reversed(kept)}


def client_of(address: str | None) -> str:
    """Whom the throttle counts a try against: the address, or for IPv6 its /64
    network, which one household or server is given whole."""
    try:
        ip = ipaddress.ip_address(address or "")
    except ValueError:
        return address or ""
    if isinstance(ip, ipaddress.IPv6Address):
        if ip.ipv4_mapped is not None:
            return str(ip.ipv4_mapped)
        return str(ipaddress.IPv6Network((ip, 64), strict=False))
    return str(ip)


class Sessions:
    """The logins this server let in, kept here and named in the signed cookie by
    a random id: logging out forgets the id, so a copy of the cookie taken before
    opens nothing afterwards; and each login ends `lifetime` seconds after it
    began, however the cookie's own dates were set. Kept in memory: a restart of
    the server asks everyone to log in again."""

    def __init__(
        self,
        lifetime: float,
        clock: Callable[[], float] = time.monotonic,
        most: int = 10_000,
    ) -> None:
        self.lifetime = lifetime
        self.clock = clock
        self.most = most
        self._ends: dict[str, float] = {}  # id -> when it ends, oldest first
        self._lock = threading.Lock()

    def begin(self) -> str:
        sid = secrets.token_urlsafe(32)
        with self._lock:
            now = self.clock()
            self._ends[sid] = now + self.lifetime
            if len(self._ends) > self.most:
                for old in [s for s, end in self._ends.items() if end <= now]:
                    del self._ends[old]
                while len(self._ends) > self.most:
                    del self._ends[next(iter(self._ends))]
        return sid

    def alive(self, sid: object) -> bool:
        if not isinstance(sid, str):
            return False
        with self._lock:
            end = self._ends.get(sid)
            if end is None:
                return False
            if end <= self.clock():
                del self._ends[sid]
                return False
            return True

    def end(self, sid: object) -> None:
        if isinstance(sid, str):
            with self._lock:
                self._ends.pop(sid, None)


@dataclass(frozen=True)
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
                raise StateError(_cannot_read(self.path, error)) from None
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
                raise StateError(_cannot_read(self.path, error)) from None
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
                    _("%(path)s: damaged; delete it and set the password again")
                    % {"path": self.path}
                ) from None
            if info is not None:
                self._kept = ((info.st_mtime_ns, info.st_size, info.st_ino), state)
            return state

    def update(self, **changes: Any) -> ServeState:
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
        try:
            write_file(self.path, (data + "\n").encode("utf-8"), private=True)
        except OutputError as error:
            raise StateError(str(error)) from None


def _cannot_read(path: Path, error: OSError) -> str:
    return _("%(path)s: cannot read: %(error)s") % {"path": path, "error": error.strerror}


def _text(value: object) -> str:
    if not isinstance(value, str) or not value:
        raise ValueError(value)
    return value
