"""The web desk's fixtures: a site, its app and a client logged in to it."""

import pytest
from support.web import log_in, make_site

from rotavel_app.web.app import create_app


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
