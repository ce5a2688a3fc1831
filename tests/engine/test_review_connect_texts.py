"""What dbapi.connect() says of a text of its own it cannot send."""
import pytest

from pyqivrexdb import dbapi


@pytest.mark.parametrize("where", ["dsn", "user", "password"])
def test_a_lone_surrogate_is_named_as_such_not_as_a_code_page_lack(dsn, where):
    args = {"dsn": dsn, "user": "", "password": ""}
    args[where] += "\udcff"
    with pytest.raises(dbapi.InterfaceError) as e:
        dbapi.connect(args["dsn"], args["user"], args["password"])
    assert str(e.value) == "'\\udcff' (in the %s) is a lone surrogate, which UTF-8 cannot carry" % where


def test_a_code_page_connection_still_names_the_code_page(dsn):
    with pytest.raises(dbapi.InterfaceError, match="the connection chose code page 866, which has no '€' \\(in the user\\)"):
        dbapi.connect(dsn, "€", "", text_encoding="cp866")
