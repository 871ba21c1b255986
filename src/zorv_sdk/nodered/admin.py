"""A Node-RED whose Admin HTTP API is secured: a login, https, an admin root, a time limit.

    from zorv_sdk.nodered import admin
    from zorv_sdk.nodered.flow import FlowAPIWrapper

    wrapper = FlowAPIWrapper(host="nodered.local", port=1443, node_id="detect", node_type="function")
    admin.connect(wrapper, user="admin", password_file="/run/secrets/nodered", ca="/etc/nodered/ca.pem")
    result = wrapper.parse_flow()

:func:`connect` checks its arguments, sets the wrapper's ``url`` and binds an
:class:`AdminSession` as the module global ``requests`` of ``zorv_sdk.nodered.flow``, through
which every wrapper of the process then downloads. It sends nothing itself: the session logs
in when the first download asks it for the flow, so a refused login or a Node-RED that is not
up yet is one failed attempt of the download's retry loop, as any other. Without ``connect``
the flow module downloads as it always does.
"""
import os
from typing import Any, Callable, Optional, Union
from urllib.parse import urlsplit

import requests

from zorv_sdk.logging import get_logger
from zorv_sdk.nodered import flow

__all__ = ["DEFAULT_TIMEOUT", "AccessRefused", "AdminSession", "connect"]

# Seconds that each request may wait for Node-RED to connect, and then for each part of the
# answer (requests' own meaning of a timeout); None waits for ever.
DEFAULT_TIMEOUT = 10.0
# Read by connect() for the arguments left out; an empty variable counts as not set.
TOKEN_VARIABLE, USER_VARIABLE, PASSWORD_VARIABLE = "NODE_RED_TOKEN", "NODE_RED_USER", "NODE_RED_PASSWORD"
LOGIN_FORM = {"client_id": "node-red-admin", "grant_type": "password"}
# Asked for in turn: the whole Admin API, else reading it, which is all a download needs and all
# a user of permissions "read" may have. Node-RED refuses a scope the user lacks with the very
# answer it gives a wrong password (403 "Invalid resource owner credentials").
SCOPES = ("*", "read")
# What Node-RED answers a login with the wrong user, password or form; a 404 is a wrong admin root.
REFUSALS = (400, 401, 403)

Path = Union[str, "os.PathLike[str]"]
Timeout = Optional[float]

logger = get_logger(name="FLOW")


class AccessRefused(requests.RequestException):
    """Node-RED refused the login, or the request for want of one."""


class AdminSession(requests.Session):
    """A requests.Session that reaches the Node-RED at ``url`` (the admin root included).

    Requests below ``url`` carry its access token: the one it was given, or one it gets by
    logging in as ``user`` (for scope ``*``, else ``read``) when it has none. An answer 401 to such a request (the token expired
    or was revoked) makes it log in again once and repeat the request. A refused login is logged
    once and not tried again, which would only repeat it and count against the user in Node-RED's
    lock-out of too many logins. Every request waits for ``timeout`` unless it says otherwise.
    """

    def __init__(self, url: str, *, user: Optional[str] = None, password: Optional[str] = None,
                 token: Optional[str] = None, ca: Optional[Path] = None, timeout: Timeout = DEFAULT_TIMEOUT) -> None:
        super().__init__()
        self.url, self.user, self.timeout = url, user, timeout
        self.verify = True if ca is None else os.fspath(ca)
        self._password, self._token = password, token
        self._refusal: Optional[str] = None

    def __repr__(self) -> str:
        login = f"user {self.user!r}" if self.user else "no user"
        return f"<AdminSession {self.url}, {login}, {'a' if self._token else 'no'} token>"

    def request(self, method: str, url: Any, *args: Any, **kwargs: Any) -> requests.Response:
        kwargs.setdefault("timeout", self.timeout)
        # Given per request, a CA file is not overridden by REQUESTS_CA_BUNDLE as the session's own would be.
        kwargs.setdefault("verify", self.verify)
        if not self._serves(str(url)):
            return super().request(method, url, *args, **kwargs)
        kwargs.setdefault("auth", self._add_token)
        if self._token is None and self.user:
            self._log_in(kwargs["timeout"])
        answer = super().request(method, url, *args, **kwargs)
        if answer.status_code == 401 and self.user:
            answer.close()
            self._log_in(kwargs["timeout"])
            answer = super().request(method, url, *args, **kwargs)
        if answer.status_code == 401:
            answer.close()
            raise AccessRefused(self._unauthorized(), response=answer)
        return answer

    def _serves(self, url: str) -> bool:
        # The token goes to this Node-RED only, whatever else the session is asked for.
        return url == self.url or url.startswith(self.url + "/")

    def _add_token(self, prepared: requests.PreparedRequest) -> requests.PreparedRequest:
        if self._token:
            prepared.headers["Authorization"] = f"Bearer {self._token}"
        return prepared

    def _log_in(self, timeout: Timeout) -> None:
        if self._refusal:
            raise AccessRefused(self._refusal)
        self._token = None
        for scope in SCOPES:
            answer = super().request("POST", f"{self.url}/auth/token", timeout=timeout, verify=self.verify,
                                     data={**LOGIN_FORM, "scope": scope, "username": self.user, "password": self._password})
            if answer.status_code not in REFUSALS:
                break
            answer.close()
        else:
            self._refusal = (f"Node-RED refused the login of user {self.user!r} for scope {' and '.join(SCOPES)}"
                             f" ({described(answer)})")
            logger.error(f"{self._refusal}: check the user and its password, and that its permissions include read")
            raise AccessRefused(self._refusal, response=answer)
        token = fields_of(answer).get("access_token") if answer.status_code == 200 else None
        if not isinstance(token, str) or not token:
            raise requests.HTTPError(f"the login at {self.url} failed ({described(answer)})", response=answer)
        self._token = token

    def _unauthorized(self) -> str:
        if self.user:
            return f"Node-RED refused the token it had just given user {self.user!r} (401)"
        if self._token:
            return "Node-RED refused the token (401): it expired or was revoked, and no user is given to log in again"
        return "Node-RED asks for a login (401): give a user and its password, or a token"


def fields_of(answer: requests.Response) -> dict:
    """The JSON object of an answer; empty for any other body."""
    try:
        fields = answer.json()
    except ValueError:
        return {}
    return fields if isinstance(fields, dict) else {}


def described(answer: requests.Response) -> str:
    """The status of an answer and the error Node-RED gives for it, if any."""
    fields = fields_of(answer)
    detail = fields.get("error_description") or fields.get("error")
    return f"{answer.status_code}: {detail}" if detail else str(answer.status_code)


def connect(wrapper: flow.FlowAPIWrapper, *, user: Optional[str] = None, password: Optional[str] = None,
            password_file: Optional[Path] = None, token: Optional[str] = None, ca: Optional[Path] = None,
            https: bool = False, admin_root: str = "", timeout: Timeout = DEFAULT_TIMEOUT) -> AdminSession:
    """Have the flow module reach the wrapper's Node-RED through a new AdminSession, and return it.

    ``token`` defaults to NODE_RED_TOKEN, ``user`` to NODE_RED_USER and the password, read from
    ``password`` or from the first line of ``password_file``, to NODE_RED_PASSWORD. ``ca`` is a CA
    bundle to trust instead of the system's, and implies ``https``. ``admin_root`` is Node-RED's
    httpAdminRoot ("/admin"). ``timeout`` bounds each request (None: no limit). Bad arguments
    raise TypeError or ValueError, naming the argument, before anything is changed.
    """
    token = checked_text("token", token if token is not None else environment(TOKEN_VARIABLE))
    user = checked_text("user", user if user is not None else environment(USER_VARIABLE))
    password_file = checked_path("password_file", password_file, os.path.isfile)
    password = password_of(user, checked_text("password", password), password_file)
    ca = checked_path("ca", ca, os.path.exists)
    if not isinstance(https, bool):
        raise TypeError(f"https must be a bool, not {type(https).__name__}")
    url = admin_url(wrapper, https or ca is not None, admin_root)
    session = AdminSession(url, user=user, password=password, token=token, ca=ca, timeout=checked_timeout(timeout))
    wrapper.url = url
    flow.requests = session
    return session


def environment(name: str) -> Optional[str]:
    return os.environ.get(name) or None


def checked_text(name: str, value: Optional[str]) -> Optional[str]:
    if value is not None and not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    if value == "":
        raise ValueError(f"{name} must not be empty")
    return value


def checked_path(name: str, value: Optional[Path], found: Callable[[Path], bool]) -> Optional[Path]:
    if value is not None and not isinstance(value, (str, os.PathLike)):
        raise TypeError(f"{name} must be a path (str or os.PathLike), not {type(value).__name__}")
    if value is not None and not found(value):
        raise ValueError(f"{name} names no file: {os.fspath(value)!r}")
    return value


def password_of(user: Optional[str], password: Optional[str], password_file: Optional[Path]) -> Optional[str]:
    if password is not None and password_file is not None:
        raise ValueError("password and password_file: give one of them, not both")
    if password_file is not None:
        password = checked_text("password_file", first_line(password_file))
    elif password is None:
        password = environment(PASSWORD_VARIABLE)
    if password is not None and user is None:
        raise ValueError(f"user: a password needs a user (user= or {USER_VARIABLE})")
    if user is not None and password is None:
        raise ValueError(f"password: user {user!r} needs one (password=, password_file= or {PASSWORD_VARIABLE})")
    return password


def first_line(path: Path) -> str:
    try:
        with open(path, encoding="utf-8") as lines:
            return lines.readline().rstrip("\r\n")
    except UnicodeDecodeError:
        # Without its cause, which quotes bytes of the file.
        raise ValueError(f"password_file is not UTF-8 text: {os.fspath(path)!r}") from None


def admin_url(wrapper: flow.FlowAPIWrapper, https: bool, admin_root: str) -> str:
    if not isinstance(admin_root, str):
        raise TypeError(f"admin_root must be a str, not {type(admin_root).__name__}")
    if admin_root and (not admin_root.startswith("/") or any(mark in admin_root for mark in "?#")):
        raise ValueError(f"admin_root must be a path starting with '/', like '/admin', not {admin_root!r}")
    url = getattr(wrapper, "url", None)
    if not isinstance(url, str):
        raise TypeError(f"wrapper.url must be a str, not {type(url).__name__}")
    parts = urlsplit(url)
    if parts.scheme not in ("http", "https") or not parts.hostname:
        raise ValueError(f"wrapper.url must be an http:// or https:// url, not {url!r}")
    if "://" in url.partition("://")[2]:
        raise ValueError(f"wrapper.url {url!r} has two schemes: give the wrapper a host without one")
    return f"{'https' if https else parts.scheme}://{parts.netloc}{admin_root.rstrip('/')}"


def checked_timeout(timeout: Timeout) -> Timeout:
    if timeout is not None and (isinstance(timeout, bool) or not isinstance(timeout, (int, float))):
        raise TypeError(f"timeout must be a number of seconds or None, not {type(timeout).__name__}")
    if timeout is not None and not timeout > 0:
        raise ValueError(f"timeout must be more than 0 seconds, not {timeout!r}")
    return timeout
