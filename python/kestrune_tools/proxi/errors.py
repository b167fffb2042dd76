"""The PROXI error object: a request that gets no spectrum, and the statuses the
service answers with."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

@dataclass(frozen=True)
class ProxiError(Exception):
    """A request that gets no spectrum: sent as the PROXI error object. `detail` names
    only what the request said, never a path of this machine."""

    status: int
    kind: str
    title: str
    detail: str

    def body(self) -> dict[str, Any]:
        # `code` and `message` are the error object's fields in the PROXI API's own
        # definition; `type`, `title`, `status` and `detail` are what clients read.
        return {"type": self.kind, "title": self.title, "status": self.status, "detail": self.detail,
                "code": self.status, "message": self.detail}


def bad_request(detail: str) -> ProxiError:
    return ProxiError(400, "MalformedRequest", "Malformed request", detail)


def not_found(kind: str, title: str, detail: str) -> ProxiError:
    return ProxiError(404, kind, title, detail)


def not_implemented(kind: str, detail: str) -> ProxiError:
    return ProxiError(501, kind, "Not implemented", detail)
