"""`rotavel serve FOLDER`: the desk's pages on this computer (127.0.0.1) or,
with a password set, on the school's network.

Flask and waitress are imported only once the options are read, so a typo
costs no start-up and a missing extra is one clear line. The options' help is
English; what serve says once the folder is known is in the school's language.
"""

from __future__ import annotations

import argparse
import getpass
import ipaddress
import os
import re
import sys
import time
from collections.abc import Sequence
from pathlib import Path
from typing import Any, TextIO

from rotavel_app.commands.plumbing import ExitStatus, Parser, UsageError, folder_language, run
from rotavel_app.language import _, ngettext, use
from rotavel_app.web.secure import MAX_BODY, MIN_PASSWORD, StateError, StateFile

STATE_FILE = "rotavel-serve.json"
# waitress's worker threads: enough that a slow page does not hold up the board's checks.
THREADS = 8
SEND_BUFFER = 1024 * 1024
# Limits for clients that hold a connection without finishing a request (a byte every few
# seconds keeps waitress's idle timeout away): connections at once, far above what a school
# opens; the seconds a request may take to arrive, head and body, from its first byte; the
# seconds a connection may stay idle; how often both are checked. The largest body is the
# desk's own (MAX_BODY), refused as it arrives.
CONNECTIONS = 1000
REQUEST_SECONDS = 20.0
IDLE_SECONDS = 30
CHECK_SECONDS = 2


def _parser() -> argparse.ArgumentParser:
    # Built when the options are read, so the texts are in the language in use then.
    parser = Parser(
        prog="rotavel serve",
        description=_(
            "Open the cover desk in a web browser: today's absences and plan, the "
            "staff-room board, the slips, the staff's rules and the history of covers."
        ),
        epilog=_(
            "The first start asks for the password that editing needs (or run with "
            "--set-password). Without --host only this computer can open the pages."
        ),
    )
    parser.add_argument("folder", type=Path, metavar="FOLDER", help=_("the school folder"))
    parser.add_argument(
        "--host",
        default="127.0.0.1",
        help=_(
            "the address to listen on (default: 127.0.0.1, this computer only); "
            "another address needs a password set"
        ),
    )
    parser.add_argument("--port", type=int, default=8000, help=_("the port (default: 8000)"))
    parser.add_argument(
        "--proxy",
        metavar="NAME",
        help=_(
            "behind a reverse proxy that serves the desk over HTTPS as NAME "
            "(e.g. desk.school.example): believe its X-Forwarded-For/-Proto/-Host headers "
            "and answer only for NAME (see docs/serve.md)"
        ),
    )
    parser.add_argument("--db", type=Path, metavar="PATH", help=_("the desk's database file"))
    parser.add_argument(
        "--set-password",
        action="store_true",
        help=_(
            "choose the password (asked on the terminal, or read from standard input), then stop"
        ),
    )
    return parser


def state_path(folder: Path, db: Path | None) -> Path:
    """The password's hash, the board's link and the session key live beside
    the desk's database, so each database has its own."""
    if db is not None:
        return db.with_name(db.name + ".serve.json")
    return folder / STATE_FILE


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False  # a name: whatever it resolves to, treat it as the network


def main(argv: Sequence[str], stdin: TextIO | None = None) -> int:
    use(None)  # English until the school's settings are read
    return run(
        lambda: _parse(argv),
        lambda args: _start(args, stdin),
        prog="rotavel serve",
        see="rotavel serve",
    )


def _parse(argv: Sequence[str]) -> argparse.Namespace:
    # The help and a mistyped option speak the school's language: the folder is
    # the one argument that is a folder.
    folder = next((a for a in argv if not a.startswith("-") and os.path.isdir(a)), None)
    if folder is not None:
        _speak_the_schools_language(Path(folder))
    args = _parser().parse_args(argv)
    if not 0 < args.port < 65536:
        raise UsageError(_("--port %(port)s is not a port (1 to 65535)") % {"port": args.port})
    return args


def _start(args: argparse.Namespace, stdin: TextIO | None) -> int:
    if not args.folder.is_dir():
        _say(_("%(folder)s is not a folder") % {"folder": args.folder})
        return ExitStatus.ERROR
    _speak_the_schools_language(args.folder)
    problem = _host_problem(args.host) or (args.proxy is not None and _name_problem(args.proxy))
    if problem:
        _say(problem)
        return ExitStatus.ERROR
    args.host = args.host[1:-1] if args.host.startswith("[") else args.host
    state = StateFile(state_path(args.folder, args.db))
    stdin = stdin if stdin is not None else sys.stdin
    try:
        current = state.load()
        if args.set_password:
            return _set_password(state, stdin)
        if current.password is None and not is_loopback(args.host):
            _say(
                _("refusing to listen on %(host)s without a password; set one first: %(command)s")
                % {"host": args.host, "command": f"rotavel serve {args.folder} --set-password"}
            )
            return ExitStatus.ERROR
        if current.password is None and stdin.isatty():
            print(_("No password is set yet: choose the one that editing will need."))
            if _set_password(state, stdin) != ExitStatus.OK:
                return ExitStatus.ERROR
    except StateError as error:
        _say(str(error))
        return ExitStatus.ERROR
    return _serve(args, state)


def _say(problem: str) -> None:
    """Why serve stops, one line on standard error."""
    print(f"rotavel serve: {problem}", file=sys.stderr)


def _speak_the_schools_language(folder: Path) -> None:
    """The school's language (rotavel.toml) from here on, before serve says anything
    more; a broken rotavel.toml is told when the desk opens the school."""
    language = folder_language(folder)
    if language is not None:
        use(language)


def _host_problem(host: str) -> str | None:
    """Why the desk cannot listen on `host` and be reached at the address it prints."""
    bare = host[1:-1] if host.startswith("[") and host.endswith("]") else host
    try:
        address = ipaddress.ip_address(bare)
    except ValueError:
        address = None
    if address is None and (bare != host or not _is_name(bare)):
        return _("--host %(host)s is not an address or a host name") % {"host": host}
    if address is not None and address.is_multicast:
        return _("--host %(host)s is a multicast address, which no browser can open") % {
            "host": host
        }
    return None


def _name_problem(name: str) -> str | None:
    if not _is_name(name) and _host_problem(name) is not None:
        return _(
            "--proxy %(name)s is not a host name (the name the proxy serves, without https://)"
        ) % {"name": name}
    return None


_LABEL = r"[a-z0-9](?:[a-z0-9-]{0,61}[a-z0-9])?"
_NAME = re.compile(rf"(?i){_LABEL}(?:\.{_LABEL})*\.?")


def _is_name(text: str) -> bool:
    """A host name as DNS spells it (what a Host header may carry)."""
    return len(text) <= 253 and _NAME.fullmatch(text) is not None


def _set_password(state: StateFile, stdin: TextIO) -> int:
    if stdin.isatty():
        first = getpass.getpass(_("New password: "))
        again = getpass.getpass(_("The same again: "))
        if first != again:
            _say(_("the two passwords differ; nothing changed"))
            return ExitStatus.ERROR
    else:
        first = stdin.readline().rstrip("\r\n")
    if len(first) < MIN_PASSWORD:
        _say(
            ngettext(
                "a password needs at least %(count)s character; nothing changed",
                "a password needs at least %(count)s characters; nothing changed",
                MIN_PASSWORD,
            )
            % {"count": MIN_PASSWORD}
        )
        return ExitStatus.ERROR
    state.set_password(first)
    print(_("Password set (kept as a salted scrypt hash in %(path)s).") % {"path": state.path})
    return ExitStatus.OK


def _serve(args: argparse.Namespace, state: StateFile) -> int:
    try:
        import waitress  # noqa: F401 - only whether the extra is there

        from rotavel_app.web.app import Site, create_app
    except ImportError as error:
        _say(
            _("needs the serve extra (%(module)s is missing): %(command)s")
            % {"module": error.name, "command": "pip install 'rotavel[serve]'"}
        )
        return ExitStatus.ERROR
    from rotavel_app.desk.desk import Desk, DeskError

    try:
        Desk.open(args.folder, args.db).close()  # a broken school is said now, not per page
    except DeskError as error:
        _say(str(error))
        return ExitStatus.ERROR
    site = Site(
        args.folder,
        args.db,
        state,
        loopback=is_loopback(args.host),
        host=args.host,
        proxy=args.proxy,
    )
    app = create_app(site)
    host = f"[{args.host}]" if ":" in args.host else args.host
    url = f"http://{host}:{args.port}/"
    try:
        server = make_server(app, host=args.host, port=args.port, threads=THREADS)
    except OSError as error:
        _say(
            _("cannot listen on %(url)s: %(error)s")
            % {"url": url, "error": error.strerror or error}
        )
        return ExitStatus.ERROR
    # Said once the port is open, so whoever reads this line can connect at once.
    at = _("the cover desk for %(folder)s is at %(url)s (Ctrl+C stops it)")
    print("rotavel: " + at % {"folder": args.folder, "url": url}, flush=True)
    board = f"{url}board/{state.load().board_token}"
    print("rotavel: " + _("the board's link: %(link)s") % {"link": board}, flush=True)
    try:
        server.run()
    except KeyboardInterrupt:
        pass
    finally:
        server.close()
    return ExitStatus.OK


def make_server(app: Any, **options: Any) -> Any:
    """waitress, as the production server: pure Python, threads, no build step.
    The port is open when this returns; run() serves until interrupted.

    Set for clients that are slow on purpose: many connections at once (poll(), not
    select(), so past 1,024 of them), a body over the desk's limit refused from its
    Content-Length or as it arrives, and a connection closed when its request has
    not arrived within REQUEST_SECONDS (waitress itself closes only idle ones).
    On a school's network a front-end proxy does the rest (docs/serve.md)."""
    import socket

    import waitress

    limits: dict[str, Any] = {
        "connection_limit": _connections(CONNECTIONS),
        "channel_timeout": IDLE_SECONDS,
        "cleanup_interval": CHECK_SECONDS,
        "asyncore_use_poll": True,
        # waitress refuses a body of this size or more: the desk takes one of MAX_BODY.
        "max_request_body_size": MAX_BODY + 1,
        "max_request_header_size": 64 * 1024,
        "expose_tracebacks": False,
    }
    server = waitress.create_server(app, ident="rotavel", **(limits | options))
    # A send buffer that takes a large Today page (a school of hundreds of absent lessons)
    # in a few writes instead of dozens; and no delay for small answers.
    # (waitress reads these, set on each connection it accepts, from its adjustments.)
    server.adj.socket_options = [
        (socket.SOL_SOCKET, socket.SO_SNDBUF, SEND_BUFFER),
        (socket.IPPROTO_TCP, socket.TCP_NODELAY, 1),
    ]
    _close_slow_requests(server, REQUEST_SECONDS)
    return server


def _connections(wanted: int) -> int:
    """`wanted` connections when the process may open files enough (a connection may
    hold three: its socket and two buffers spilled to disk), raising its own limit
    as far as the system lets it; fewer otherwise."""
    try:
        import resource

        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        need = 3 * wanted + 64
        if soft != resource.RLIM_INFINITY and soft < need:
            raised = need if hard == resource.RLIM_INFINITY else min(need, hard)
            resource.setrlimit(resource.RLIMIT_NOFILE, (raised, hard))
            soft = raised
    except (ImportError, ValueError, OSError):
        return min(wanted, 100)
    if soft == resource.RLIM_INFINITY:
        return wanted
    return max(16, min(wanted, (soft - 64) // 3))


def _close_slow_requests(server: Any, seconds: float) -> None:
    """Close every connection whose request began more than `seconds` ago and has
    not all arrived, when waitress looks for idle ones: a client that sends a byte
    now and then is never idle, and would hold its connection for ever."""
    from waitress.channel import HTTPChannel
    from waitress.parser import HTTPRequestParser
    from waitress.server import BaseWSGIServer

    class Parser(HTTPRequestParser):  # type: ignore[misc]
        def __init__(self, adj: Any) -> None:
            super().__init__(adj)
            self.begun = time.time()  # waitress's own clock for its channels

    class Channel(HTTPChannel):  # type: ignore[misc]
        parser_class = Parser

    # One server per address listened on (a name may have two), sharing one map.
    servers = [s for s in server._map.values() if isinstance(s, BaseWSGIServer)] or [server]
    for each in servers:
        each.channel_class = Channel
        idle = each.maintenance

        def maintenance(now: float, each: Any = each, idle: Any = idle) -> None:
            idle(now)
            for channel in list(each.active_channels.values()):
                request = getattr(channel, "request", None)
                if request is not None and now - getattr(request, "begun", now) > seconds:
                    channel.will_close = True

        each.maintenance = maintenance
