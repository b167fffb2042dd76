"""The PROXI server of `kestrune serve`: Starlette answering over uvicorn
(pip install 'kestrune[serve]').

    service = ProxiService(RunCatalogue([Path("archive")]))
    listener = listening_socket("127.0.0.1", 0)
    run_server(service, listener)          # until SIGINT or SIGTERM

Only `GET` (and `HEAD`) of `<base>/spectra` answers a spectrum; PROXI's other
endpoints answer 501, any other path 404, any other method 405, each as the PROXI
error object. The reader's calls run in the server's worker threads, without the
interpreter lock, so requests are answered concurrently; the listening socket's
backlog queues a burst of new clients rather than refusing them.

Bounds: a request's line and headers within `MAX_HEAD_BYTES`, its query within
`MAX_QUERY_BYTES`, no request body read; a request answered within
`REQUEST_SECONDS` (503 otherwise); a connection closed where a request's head has
not come whole within `HEAD_SECONDS` of the connection or of the previous answer,
or where it stays idle for `IDLE_SECONDS` after an answer. An unexpected failure answers 500 with the error object and a
line on standard error, never a traceback to the client.
"""

from __future__ import annotations

import asyncio
import ipaddress
import socket
import sys
from typing import Any

import anyio
import h11
import orjson
import uvicorn
from uvicorn.protocols.http.h11_impl import H11Protocol
from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import Response
from starlette.routing import Route

from kestrune_tools.proxi import ProxiError, ProxiService
from kestrune_tools.text import escaped

__all__ = ["BASE_PATH", "Listener", "listening_socket", "make_app", "run_server"]

BASE_PATH = "/proxi/v0.1"
OTHER_ENDPOINTS = ("datasets", "psms", "peptidoforms", "proteins")
MAX_HEAD_BYTES = 16 * 1024
MAX_QUERY_BYTES = 8 * 1024
REQUEST_SECONDS = 30.0
IDLE_SECONDS = 5
HEAD_SECONDS = 5.0
BACKLOG = 1024
WORKER_THREADS = 16
JSON_TYPE = "application/json"


def json_response(body: Any, status: int = 200, headers: dict[str, str] | None = None) -> Response:
    """orjson writes NumPy arrays whole, each value as the shortest text that reads back
    as the same value of its type (float64 m/z, float32 intensities), about ten times
    as fast as the standard library writes Python floats; a value that is no number
    is null, so that the answer is strict JSON."""
    content = orjson.dumps(body, option=orjson.OPT_SERIALIZE_NUMPY)
    return Response(content, status, headers=headers, media_type=JSON_TYPE)


def error_response(error: ProxiError, headers: dict[str, str] | None = None) -> Response:
    return json_response(error.body(), error.status, headers)


UNEXPECTED = ProxiError(500, "InternalError", "Internal error", "the request could not be answered")
TOO_SLOW = ProxiError(503, "Timeout", "Request took too long",
                      f"the request was not answered within {REQUEST_SECONDS:g} s")


def make_app(service: ProxiService) -> Starlette:
    async def spectra(request: Request) -> Response:
        if len(request.scope["query_string"]) > MAX_QUERY_BYTES:
            raise ProxiError(400, "MalformedRequest", "Malformed request",
                             f"the query is longer than {MAX_QUERY_BYTES} bytes")
        params = request.query_params.multi_items()
        with anyio.move_on_after(REQUEST_SECONDS):
            answer = await anyio.to_thread.run_sync(service.spectra, params, abandon_on_cancel=True,
                                                    limiter=limiter)
            return json_response(answer)
        raise TOO_SLOW

    async def not_implemented(request: Request) -> Response:
        raise ProxiError(501, "NotImplemented", "Not implemented",
                         f"{request.url.path.rsplit('/', 1)[-1]} is not served here; ask for spectra")

    limiter = anyio.CapacityLimiter(WORKER_THREADS)
    routes = [Route(f"{BASE_PATH}/spectra", spectra, methods=["GET"]),
              *(Route(f"{BASE_PATH}/{name}", not_implemented, methods=["GET"]) for name in OTHER_ENDPOINTS)]
    app = Starlette(routes=routes, exception_handlers={
        ProxiError: _proxi_error, HTTPException: _http_error, Exception: _unexpected})
    return app


async def _proxi_error(request: Request, error: Exception) -> Response:
    assert isinstance(error, ProxiError)
    return error_response(error)


async def _http_error(request: Request, error: Exception) -> Response:
    """Starlette's own answers (no such path, a method other than GET or HEAD) as
    PROXI error objects."""
    assert isinstance(error, HTTPException)
    if error.status_code == 405:
        return error_response(ProxiError(405, "MethodNotAllowed", "Method not allowed",
                                         "only GET and HEAD are answered"), {"Allow": "GET, HEAD"})
    if error.status_code == 404:
        return error_response(ProxiError(404, "NotFound", "Not found",
                                         f"nothing is served at this path; ask {BASE_PATH}/spectra"))
    return error_response(ProxiError(error.status_code, "HTTPError", "Request refused", str(error.detail)))


async def _unexpected(request: Request, error: Exception) -> Response:
    sys.stderr.write(f"kestrune serve: request failed: {escaped(type(error).__name__)}: {escaped(str(error))}\n")
    return error_response(UNEXPECTED)


# -- listening


class BoundedHeadProtocol(H11Protocol):
    """uvicorn's HTTP/1.1 connection, closed where a request's head has not come whole
    within HEAD_SECONDS of the connection or of the previous answer: a client that
    connects and sends nothing, or a byte now and then, holds no connection for ever."""

    head_deadline: asyncio.TimerHandle | None = None

    def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
        super().connection_made(transport)
        self._await_head()

    def data_received(self, data: bytes) -> None:
        super().data_received(data)
        if self.conn.their_state is not h11.IDLE and self.head_deadline is not None:
            self.head_deadline.cancel()  # the head came whole
            self.head_deadline = None

    def on_response_complete(self) -> None:
        super().on_response_complete()
        self._await_head()

    def connection_lost(self, exc: Exception | None) -> None:
        if self.head_deadline is not None:
            self.head_deadline.cancel()
        super().connection_lost(exc)

    def _await_head(self) -> None:
        if self.head_deadline is not None:
            self.head_deadline.cancel()
        self.head_deadline = self.loop.call_later(HEAD_SECONDS, self._head_too_slow)

    def _head_too_slow(self) -> None:
        if self.conn.their_state is h11.IDLE and not self.transport.is_closing():
            self.transport.close()



class Listener:
    """A bound, listening socket and the base URL it serves."""

    def __init__(self, sock: socket.socket) -> None:
        self.socket = sock
        address = sock.getsockname()
        self.host, self.port = str(address[0]), int(address[1])

    @property
    def base_url(self) -> str:
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"http://{host}:{self.port}{BASE_PATH}"

    @property
    def is_loopback(self) -> bool:
        return ipaddress.ip_address(self.host.split("%")[0]).is_loopback


def listening_socket(host: str, port: int) -> Listener:
    """A socket bound to `host` (a name or an address) and `port` (0: a free one) and
    listening; OSError where it cannot be."""
    family, kind, proto, _, address = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)[0]
    sock = socket.socket(family, kind, proto)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(address)
        sock.listen(BACKLOG)
    except OSError:
        sock.close()
        raise
    return Listener(sock)


def run_server(service: ProxiService, listener: Listener) -> None:
    """Serves on `listener` until SIGINT or SIGTERM (in the main thread), which end
    the requests under way and then come back to the caller's own handlers."""
    config = uvicorn.Config(
        make_app(service), http=BoundedHeadProtocol, lifespan="off", log_level="warning", access_log=False,
        server_header=False, backlog=BACKLOG, timeout_keep_alive=IDLE_SECONDS,
        h11_max_incomplete_event_size=MAX_HEAD_BYTES, timeout_graceful_shutdown=int(REQUEST_SECONDS))
    server = uvicorn.Server(config)
    server.run(sockets=[listener.socket])

