import os
import subprocess

import pytest

import qxdouble
import qxisolated
from pyqivrexdb import qxcore
from pyqivrexdb.errors import InterfaceError

INIT = qxdouble.Call("qcSqlInit", (0,))
CXXFLAGS = os.environ.get("QX_DOUBLE_CXXFLAGS", "")


@pytest.mark.parametrize("loads", [1, 2, 3])
def test_every_initlibrary_loads_and_initialises(double, loads):
    for _ in range(loads):
        assert qxcore.initlibrary() is None
    assert double.calls() == [INIT] * loads


def test_every_connection_initialises_the_library(double):
    qxcore.Connection()
    qxcore.Connection()
    assert double.calls() == [INIT, INIT]


def test_connection_calls_whatever_initlibrary_is_bound_to(double):
    seen = []
    qxcore.initlibrary = lambda: seen.append("loaded")
    qxcore.Connection()
    assert seen == ["loaded"]
    assert double.calls() == []


@pytest.mark.parametrize("value", [True, 1, "yes", [0]])
def test_true_initial_turns_loading_off(double, value):
    qxcore.INITIAL = value
    assert qxcore.initlibrary() is None
    qxcore.Connection()
    assert double.calls() == []
    assert qxcore.INITIAL is value


@pytest.mark.parametrize("value", [False, 0, "", None, []])
def test_false_initial_loads(double, value):
    qxcore.INITIAL = value
    qxcore.initlibrary()
    assert double.calls() == [INIT]
    assert qxcore.INITIAL is value


def test_initial_set_after_a_load_makes_later_calls_no_ops(double):
    qxcore.initlibrary()
    qxcore.INITIAL = True
    qxcore.initlibrary()
    qxcore.Connection()
    assert double.calls() == [INIT]


def test_deleted_initial_is_a_key_error(double):
    del qxcore.INITIAL
    with pytest.raises(KeyError):
        qxcore.initlibrary()
    assert double.calls() == []


def test_initial_whose_truth_fails(double):
    class Undecided:
        def __bool__(self):
            raise RuntimeError("undecided")

    qxcore.INITIAL = Undecided()
    with pytest.raises(RuntimeError, match="undecided"):
        qxcore.initlibrary()
    assert double.calls() == []


@pytest.mark.parametrize("rc", [5, -1, 3001, -3002, 2147483647, -2147483648])
def test_failing_init_reports_its_code_and_stays_loaded(double, rc):
    double.fail("qcSqlInit", rc, times=2)
    for make in (qxcore.initlibrary, qxcore.Connection):
        with pytest.raises(InterfaceError) as info:
            make()
        assert info.value.args == ("qcSqlInit error %d:", rc)
        assert str(info.value) == "qcSqlInit error %d:" % rc
    # the load was not undone: the next attempt initialises again and works
    assert qxcore.initlibrary() is None
    assert double.calls() == [INIT] * 3


def test_error_class_missing_at_raise_time_is_a_name_error(double):
    double.fail("qcSqlInit", 5)
    del qxcore.InterfaceError
    with pytest.raises(NameError, match="InterfaceError"):
        qxcore.initlibrary()


def test_freelibrary_more_often_than_loaded(double):
    # Regression: every extra release used to go to the platform with the
    # stale handle.
    qxcore.initlibrary()
    for _ in range(4):
        assert qxcore.freelibrary() is None
    qxcore.initlibrary()
    assert double.calls() == [INIT, INIT]


def test_library_absent(tmp_path):
    package = qxisolated.copy_package(tmp_path)
    qxisolated.check("""
        import qxdouble
        from pyqivrexdb import qxcore
        from pyqivrexdb.errors import InterfaceError

        assert qxcore.freelibrary() is None        # before any load
        for make in (qxcore.initlibrary, qxcore.Connection, qxcore.initlibrary):
            try:
                make()
            except InterfaceError as exc:
                assert exc.args == ("qcSqlInit error qscli.dll",), exc.args
            else:
                raise AssertionError("loaded without a library")
        assert qxcore.freelibrary() is None        # after a failed load

        # a later attempt tries again and finds a library that is there now
        double = qxdouble.Double(%r)
        qxcore.initlibrary()
        assert double.names() == ["qcSqlInit"], double.names()
    """ % str(qxdouble.build(CXXFLAGS)), package)


def library_needing(tmp_path, dependency):
    """A libqscli.so built in tmp_path that needs a library no longer there."""
    tmp_path.mkdir()
    cxx = os.environ.get("CXX", "g++")
    (tmp_path / "empty.c").write_text("int qx_nothing(void) { return 0; }\n")
    for name, extra in ((dependency, []), ("libqscli.so", ["-L.", "-Wl,--no-as-needed", "-l" + dependency[3:-3]])):
        subprocess.run([cxx, "-shared", "-fPIC", "-x", "c", "empty.c", "-o", name, *extra],
                       cwd=tmp_path, check=True)
    (tmp_path / dependency).unlink()
    return (tmp_path / "libqscli.so").read_bytes()


@pytest.mark.parametrize("library, reason", [
    (None, "libqscli.so: cannot open shared object file"),
    (b"not a library", "file too short"),
    ("needs a missing library", "libqxgone.so: cannot open shared object file"),
], ids=["absent", "not a library", "a dependency absent"])
def test_a_failed_load_says_what_was_looked_for_and_why(tmp_path, library, reason):
    # The designed arguments stay; the loader's own reason is a note (an
    # attribute before 3.11) and a DEBUG record, as the error is raised.
    package = qxisolated.copy_package(tmp_path / "pkg")
    env = {}
    if library == "needs a missing library":
        library = library_needing(tmp_path / "lib", "libqxgone.so")
    if library is not None:
        (tmp_path / "libqscli.so").write_bytes(library)
        env["LD_LIBRARY_PATH"] = str(tmp_path)
    qxisolated.check("""
        import logging
        from pyqivrexdb import qxcore
        from pyqivrexdb.errors import InterfaceError

        records = []
        handler = logging.Handler()
        handler.emit = lambda record: records.append(record.getMessage())
        logging.getLogger("pyqivrexdb.qxcore").addHandler(handler)
        logging.getLogger("pyqivrexdb.qxcore").setLevel(logging.DEBUG)
        qxcore.DEBUG = True
        try:
            qxcore.Connection()
        except InterfaceError as exc:
            assert exc.args == ("qcSqlInit error qscli.dll",), exc.args
            [note] = exc.__notes__
        assert note.startswith("searched for libqscli.so: "), note
        assert %r in note, note
        assert records[-1] == note, records
    """ % reason, package, env=env)


def test_full_release_unmaps_and_a_reload_starts_afresh(tmp_path):
    path = qxdouble.build(CXXFLAGS)
    package = qxisolated.copy_package(tmp_path)
    qxisolated.check("""
        import qxdouble
        from pyqivrexdb import qxcore

        def mapped():
            with open("/proc/self/maps") as maps:
                return "libqscli.so" in maps.read()

        assert not mapped()                        # import loads nothing
        qxcore.initlibrary()
        qxcore.initlibrary()
        qxcore.freelibrary()
        assert mapped()
        qxcore.freelibrary()
        assert not mapped()
        qxcore.freelibrary()                       # one too many: ignored
        qxcore.initlibrary()
        assert mapped()
        # the library's state is new: only the reload's initialisation
        assert qxdouble.Double(%r).names() == ["qcSqlInit"]
    """ % str(path), package, env={"LD_LIBRARY_PATH": str(path.parent)})


@pytest.mark.parametrize("missing", ["qcSqlInit", "qcSqlConnReadMsg", "qcSqlUnpackDate"])
def test_library_without_an_entry_point_is_refused_before_init(tmp_path, missing):
    path = qxdouble.build(CXXFLAGS, omit=[missing])
    package = qxisolated.copy_package(tmp_path)
    qxisolated.check("""
        import qxdouble
        from pyqivrexdb import qxcore
        from pyqivrexdb.errors import InterfaceError

        double = qxdouble.Double(%r)
        for make in (qxcore.initlibrary, qxcore.Connection):
            try:
                make()
            except InterfaceError as exc:
                assert exc.args == ("qcSqlInit error qscli.dll: no entry point %s",), exc.args
            else:
                raise AssertionError("loaded an incomplete library")
        assert double.calls() == [], double.calls()
        assert qxcore.freelibrary() is None
    """ % (str(path), missing), package)


def test_entry_points_looked_up_but_never_called_may_be_missing(tmp_path):
    path = qxdouble.build(CXXFLAGS, omit=["qcSqlDone", "qcSqlExecDirectAsync",
                                          "qcSqlExecDirectQuery"])
    package = qxisolated.copy_package(tmp_path)
    qxisolated.check("""
        import qxdouble
        from pyqivrexdb import qxcore

        double = qxdouble.Double(%r)
        qxcore.initlibrary()
        assert double.names() == ["qcSqlInit"]
    """ % str(path), package)
