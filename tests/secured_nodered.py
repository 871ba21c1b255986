"""Node-RED with its Admin HTTP API behind a login (scripts/nodered/settings-auth.js), for the
tests of the reader refused by it and of the reader that logs in."""

import local_nodered

# READER's permissions are "read": Node-RED refuses it the scope "*".
USER, READER, PASSWORD = "admin", "viewer", "zorv-test"
LOGIN_FORM = {"client_id": "node-red-admin", "grant_type": "password", "scope": "*"}


class SecuredNodeRed(local_nodered.NodeRedServer):
    """This harness logs in for its own requests; what the tests make is up to them."""

    def __init__(self, initial_flow, **options):
        super().__init__(initial_flow, settings=local_nodered.NODERED_DIR / "settings-auth.js", **options)

    def log_in(self, password=PASSWORD):
        """A new access token of USER."""
        answer = self._http.post(f"{self.url}/auth/token", timeout=local_nodered.REQUEST_TIMEOUT,
                                 data={**LOGIN_FORM, "username": USER, "password": password})
        answer.raise_for_status()
        return answer.json()["access_token"]

    def revoke(self, token):
        answer = self._http.post(f"{self.url}/auth/revoke", data={"token": token}, timeout=local_nodered.REQUEST_TIMEOUT,
                                 headers={"Authorization": f"Bearer {token}"})
        answer.raise_for_status()

    def status_with(self, token):
        """The status of GET /flows with that token."""
        return self._http.get(f"{self.url}/flows", headers={"Authorization": f"Bearer {token}"},
                              timeout=local_nodered.REQUEST_TIMEOUT).status_code

    def _get_flows(self):
        if "Authorization" not in self._http.headers:
            self._http.headers["Authorization"] = f"Bearer {self.log_in()}"
        return super()._get_flows()
