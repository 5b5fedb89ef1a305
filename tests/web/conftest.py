"""The web desk's fixtures: a site, its app and a client logged in to it."""

import pytest
from support.web import log_in, make_site

from rotavel_app.web import secure
from rotavel_app.web.app import create_app


@pytest.fixture(autouse=True)
def quick_hash(monkeypatch):
    # The real cost is for a stolen file; tests log in many times.
    monkeypatch.setattr(secure, "SCRYPT_N", 2**8)


@pytest.fixture
def site(tmp_path):
    return make_site(tmp_path / "school")


@pytest.fixture
def app(site):
    return create_app(site)


@pytest.fixture
def client(app):
    client = app.test_client()
    assert log_in(client).status_code == 303
    return client
