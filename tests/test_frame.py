"""The call frame shared by every Python-callable operation, driven through a test extension."""

import pytest


def panic_type(frame):
    return frame.panic_type()


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "convert() missing 1 required positional argument: 'text'"),
        (("a", None, True, 4), {}, "convert() takes from 1 to 3 positional arguments but 4 were given"),
        (("a",), {"flags": True}, "convert() got an unexpected keyword argument 'flags'"),
        (("a",), {"text": "b"}, "convert() got multiple values for argument 'text'"),
        ((1,), {}, "argument 'text': 'int' object cannot be converted to 'str'"),
        ((b"a",), {}, "argument 'text': 'bytes' object cannot be converted to 'str'"),
        (("a", 3), {}, "argument 'package': 'int' object cannot be converted to 'str'"),
        (("a",), {"flag": 1}, "argument 'flag': 'int' object cannot be converted to 'bool'"),
        (("a",), {"flag": "True"}, "argument 'flag': 'str' object cannot be converted to 'bool'"),
    ],
)
def test_argument_errors_are_type_errors_in_the_usual_wording(frame, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        frame.convert(*args, **kwargs)
    assert str(caught.value) == message


def test_arity_is_checked_before_conversion(frame):
    # An unknown keyword wins over a badly typed argument: arguments are matched first.
    with pytest.raises(TypeError, match="unexpected keyword argument 'other'"):
        frame.convert(1, other=2)


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        (("text",), {}, ("text", None, False)),
        (("été",), {"package": "pkg.sub"}, ("été", "pkg.sub", False)),
        ((), {"text": "x", "flag": True}, ("x", None, True)),
        (("x", None, False), {}, ("x", None, False)),
        (("a\x00b",), {}, ("a\x00b", None, False)),
    ],
)
def test_arguments_convert_by_position_or_keyword(frame, args, kwargs, expected):
    assert frame.convert(*args, **kwargs) == expected


def test_str_subclasses_are_accepted(frame):
    class Text(str):
        pass

    assert frame.convert(Text("sub")) == ("sub", None, False)


def test_lone_surrogate_raises_unicode_encode_error_unchanged(frame):
    with pytest.raises(UnicodeEncodeError) as caught:
        frame.convert("bad \ud800 text")
    assert caught.value.reason == "surrogates not allowed"


def test_internal_failure_becomes_panic_exception(frame):
    with pytest.raises(BaseException) as caught:
        frame.panic("assertion failed: something")
    error = caught.value
    assert type(error) is panic_type(frame)
    assert error.args == ("assertion failed: something",)


def test_panic_exception_is_not_an_exception(frame):
    cls = panic_type(frame)
    assert cls.__name__ == "PanicException"
    assert issubclass(cls, BaseException)
    assert not issubclass(cls, Exception)
    assert "BaseException" in cls.__doc__
    caught_by_exception = False
    try:
        try:
            frame.panic("boom")
        except Exception:
            caught_by_exception = True
    except BaseException:
        pass
    assert not caught_by_exception


def test_panic_exception_type_is_created_once(frame):
    first = None
    for _ in range(3):
        try:
            frame.panic("again")
        except BaseException as error:
            first = first or type(error)
            assert type(error) is first
    assert first is panic_type(frame)


def test_python_exceptions_pass_through_unchanged(frame):
    counter = frame.Counter()
    marker = LookupError("from the callback")

    def callback():
        raise marker

    with pytest.raises(LookupError) as caught:
        counter.shared(callback)
    assert caught.value is marker


def test_instance_whose_record_fails_to_construct_destroys_no_record(frame):
    before = frame.unmovable_destructions()
    with pytest.raises(panic_type(frame), match="^record failed to move$"):
        frame.make_unmovable()
    # Only the temporary the record was to be moved from; the instance never held one.
    assert frame.unmovable_destructions() - before == 1


def test_borrow_is_released_after_every_outcome(frame):
    counter = frame.Counter()

    def raising():
        raise ValueError

    with pytest.raises(ValueError):
        counter.exclusive(raising)
    # Both kinds of borrow are free again: an exclusive use succeeds.
    assert counter.exclusive(lambda: "ok") == "ok"
    assert counter.calls == 2


@pytest.mark.parametrize(
    "outer, inner, message",
    [
        ("exclusive", "exclusive", "Already borrowed"),
        ("exclusive", "shared", "Already mutably borrowed"),
        ("shared", "exclusive", "Already borrowed"),
    ],
)
def test_reentry_conflicts_raise_runtime_error(frame, outer, inner, message):
    counter = frame.Counter()
    seen = []

    def reenter():
        try:
            getattr(counter, inner)(lambda: None)
        except RuntimeError as error:
            seen.append(str(error))
        return "outer finished"

    assert getattr(counter, outer)(reenter) == "outer finished"
    assert seen == [message]


def test_shared_borrows_nest(frame):
    counter = frame.Counter()
    assert counter.shared(lambda: counter.shared(lambda: counter.calls)) == 2


def test_property_read_during_exclusive_use_conflicts(frame):
    counter = frame.Counter()

    def read_calls():
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            counter.calls
        return True

    assert counter.exclusive(read_calls) is True


def test_receiver_of_the_wrong_class_is_rejected(frame):
    shared = frame.Counter.shared
    with pytest.raises(TypeError):
        shared(object(), lambda: None)
