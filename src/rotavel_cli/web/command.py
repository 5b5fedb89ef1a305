"""`rotavel serve FOLDER`: the desk's pages on this computer (127.0.0.1) or,
with a password set, on the school's network.

Flask and waitress are imported only once the options are read, so a typo
costs no start-up and a missing extra is one clear line.
"""

from __future__ import annotations

import argparse
import getpass
import ipaddress
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any, NoReturn, TextIO

from rotavel_cli.web.secure import MIN_PASSWORD, StateError, StateFile

STATE_FILE = "rotavel-serve.json"
# waitress's worker threads: enough that a slow page does not hold up the board's checks.
THREADS = 8
SEND_BUFFER = 1024 * 1024


class UsageError(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="rotavel serve",
        description="Open the cover desk in a web browser: today's absences and plan, the "
        "staff-room board, the slips, the staff's rules and the history of covers.",
        epilog="The first start asks for the password that editing needs (or run with "
        "--set-password). Without --host only this computer can open the pages.",
    )
    parser.add_argument("folder", type=Path, metavar="FOLDER", help="the school folder")
    parser.add_argument(
        "--host",
        default="127.0.0.1",
        help="the address to listen on (default: 127.0.0.1, this computer only); "
        "another address needs a password set",
    )
    parser.add_argument("--port", type=int, default=8000, help="the port (default: 8000)")
    parser.add_argument("--db", type=Path, metavar="PATH", help="the desk's database file")
    parser.add_argument(
        "--set-password",
        action="store_true",
        help="choose the password (asked on the terminal, or read from standard input), then stop",
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
    try:
        args = _parser().parse_args(argv)
        if not 0 < args.port < 65536:
            raise UsageError(f"--port {args.port} is not a port (1 to 65535)")
    except UsageError as error:
        print(f"rotavel serve: {error} (see rotavel serve --help)", file=sys.stderr)
        return 2
    except SystemExit as leaving:  # --help
        return leaving.code if isinstance(leaving.code, int) else 0
    if not args.folder.is_dir():
        print(f"rotavel serve: {args.folder} is not a folder", file=sys.stderr)
        return 2
    state = StateFile(state_path(args.folder, args.db))
    stdin = stdin if stdin is not None else sys.stdin
    try:
        current = state.load()
        if args.set_password:
            return _set_password(state, stdin)
        if current.password is None and not is_loopback(args.host):
            print(
                f"rotavel serve: refusing to listen on {args.host} without a password; "
                f"set one first: rotavel serve {args.folder} --set-password",
                file=sys.stderr,
            )
            return 2
        if current.password is None and stdin.isatty():
            print("No password is set yet: choose the one that editing will need.")
            if _set_password(state, stdin) != 0:
                return 2
    except StateError as error:
        print(f"rotavel serve: {error}", file=sys.stderr)
        return 2
    return _serve(args, state)


def _set_password(state: StateFile, stdin: TextIO) -> int:
    if stdin.isatty():
        first = getpass.getpass("New password: ")
        again = getpass.getpass("The same again: ")
        if first != again:
            print("rotavel serve: the two passwords differ; nothing changed", file=sys.stderr)
            return 2
    else:
        first = stdin.readline().rstrip("\r\n")
    if len(first) < MIN_PASSWORD:
        print(
            f"rotavel serve: a password needs at least {MIN_PASSWORD} characters; nothing changed",
            file=sys.stderr,
        )
        return 2
    state.set_password(first)
    print(f"Password set (kept as a salted scrypt hash in {state.path}).")
    return 0


def _serve(args: argparse.Namespace, state: StateFile) -> int:
    try:
        import waitress  # noqa: F401 - only whether the extra is there

        from rotavel_cli.web.app import Site, create_app
    except ImportError as error:
        print(
            f"rotavel serve: needs the serve extra ({error.name} is missing): "
            "pip install 'rotavel[serve]'",
            file=sys.stderr,
        )
        return 2
    from rotavel_cli.desk import Desk, DeskError

    try:
        Desk.open(args.folder, args.db).close()  # a broken school is said now, not per page
    except DeskError as error:
        print(f"rotavel serve: {error}", file=sys.stderr)
        return 2
    site = Site(args.folder, args.db, state, loopback=is_loopback(args.host))
    app = create_app(site)
    host = f"[{args.host}]" if ":" in args.host else args.host
    url = f"http://{host}:{args.port}/"
    try:
        server = make_server(app, host=args.host, port=args.port, threads=THREADS)
    except OSError as error:
        print(f"rotavel serve: cannot listen on {url}: {error.strerror or error}", file=sys.stderr)
        return 2
    # Said once the port is open, so whoever reads this line can connect at once.
    print(f"rotavel: the cover desk for {args.folder} is at {url} (Ctrl+C stops it)", flush=True)
    print(f"rotavel: the board's link: {url}board/{state.load().board_token}", flush=True)
    try:
        server.run()
    except KeyboardInterrupt:
        pass
    finally:
        server.close()
    return 0


def make_server(app: Any, **options: Any) -> Any:
    """waitress, as the production server: pure Python, threads, no build step.
    The port is open when this returns; run() serves until interrupted."""
    import socket

    import waitress

    # A send buffer that takes a large Today page (a school of hundreds of absent lessons)
    # in a few writes instead of dozens; and no delay for small answers.
    # (waitress reads these, set on each connection it accepts, from its adjustments.)
    server = waitress.create_server(app, ident="rotavel", **options)
    server.adj.socket_options = [
        (socket.SOL_SOCKET, socket.SO_SNDBUF, SEND_BUFFER),
        (socket.IPPROTO_TCP, socket.TCP_NODELAY, 1),
    ]
    return server
