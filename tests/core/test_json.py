"""The JSON codec, seen through SafeTensors headers: `remove_manifest`
parses a header and writes it back, so its output shows the writer, and
the three readers show the parser's failure texts."""

import json

import pytest
from hypothesis import given, settings, strategies as st

import tarnwick
from st_files import st_file, written_header

CONTAINER = "malformed model container: "
EXCLUSION = "data hash exclusion is malformed: header length field does not span valid JSON: "


def rewritten(header):
    """The header after one parse and write."""
    return written_header(tarnwick.remove_manifest(st_file(header))).decode()


def assert_parse_error(header, text):
    model = st_file(header)
    for op in (tarnwick.remove_manifest, tarnwick.read_manifest_uri):
        with pytest.raises(ValueError) as e:
            op(model)
        assert str(e.value) == CONTAINER + text
    with pytest.raises(ValueError) as e:
        tarnwick.read_manifest(model)
    assert str(e.value) == EXCLUSION + text


# A document placed as the value of "k": positions are given within the
# document and shift by the 5 bytes of the prefix {"k":.
PREFIX = '{"k":'
VALUE_ERRORS = [
    ("[1,]", "unexpected byte 0x5d at {}", 3),
    ("]", "unexpected byte 0x5d at {}", 0),
    ("+1", "unexpected byte 0x2b at {}", 0),
    (".5", "unexpected byte 0x2e at {}", 0),
    ("'a'", "unexpected byte 0x27 at {}", 0),
    ("\x7f", "unexpected byte 0x7f at {}", 0),
    ("é", "unexpected byte 0xc3 at {}", 0),
    ("\x0c1", "unexpected byte 0xc at {}", 0),  # form feed is not whitespace
    ("[\x0c]", "unexpected byte 0xc at {}", 1),
    ("[1 2]", "expected ',' or ']' at {}", 3),
    ("[1\x0c]", "expected ',' or ']' at {}", 2),
    ("nul", "invalid literal at {}", 0),
    ("nulL", "invalid literal at {}", 0),
    ("tru", "invalid literal at {}", 0),
    ("[1,fals]", "invalid literal at {}", 3),
    ("{a:1}", "expected object key at {}", 1),
    ('{"a":1,}', "expected object key at {}", 7),
    ('{"a" 1}', "expected ':' at {}", 5),
    ('{"a":1 "b":2}', "expected ',' or '}' at {}", 7),
    ("truex", "expected ',' or '}' at {}", 4),  # the literal ends at "true"
]


@pytest.mark.parametrize("doc,text,pos", VALUE_ERRORS)
def test_value_errors_name_the_byte(doc, text, pos):
    assert_parse_error(PREFIX + doc + "}", text.replace("{}", str(pos + len(PREFIX))))


# Failures inside a string carry no position.
STRING_ERRORS = [
    (r'"\uDE00"', "invalid code point"),
    (r'"\uD83D"', "lone high surrogate"),
    (r'"\uD83Dx"', "lone high surrogate"),
    (r'"\uD83D\n"', "lone high surrogate"),
    (r'"\uD83D\u0041"', "invalid low surrogate"),
    (r'"\uD83D\uD83D"', "invalid low surrogate"),
    (r'"\u12zz"', "invalid \\u escape"),
    (r'"\u+041"', "invalid \\u escape"),
    (r'"\u 041"', "invalid \\u escape"),
    (r'"\uD83D\uDEzz"', "invalid \\u escape"),
    (r'"\q"', "invalid escape \\q"),
    (r'"\U0041"', "invalid escape \\U"),
    ('"\\é"', "invalid escape \\Ã"),  # the byte 0xC3 shows as U+00C3
]


@pytest.mark.parametrize("doc,text", STRING_ERRORS)
def test_string_errors(doc, text):
    assert_parse_error(PREFIX + doc + "}", text)
    assert_parse_error("{" + doc + ":1}", text)  # keys are strings too


# Whole headers that end early or carry something after the object.
DOCUMENT_ERRORS = [
    ("{", "expected object key at 1"),
    ("{ \n", "expected object key at 3"),
    ('{"a"', "expected ':' at 4"),
    ('{"a":', "unexpected end of input"),
    ('{"a": ', "unexpected end of input"),
    ('{"a":[', "unexpected end of input"),
    ('{"a":[1,', "unexpected end of input"),
    ('{"a":[1', "expected ',' or ']' at 7"),
    ('{"a":[1 ', "expected ',' or ']' at 8"),
    ('{"a":1', "expected ',' or '}' at 6"),
    ('{"a":1,', "expected object key at 7"),
    ('{"a":tr', "invalid literal at 5"),
    ('{"a', "unterminated string"),
    ('{"a":"abc', "unterminated string"),
    ('{"a":"abc\\', "unterminated escape"),
    ('{"a":"\\u', "truncated \\u escape"),
    ('{"a":"\\u12', "truncated \\u escape"),
    ('{"a":"\\uD83D', "lone high surrogate"),
    ('{"a":"\\uD83D\\', "lone high surrogate"),
    ('{"a":"\\uD83D\\u12', "truncated \\u escape"),
    ("{}x", "trailing data at byte 2"),
    ("{}\x0c", "trailing data at byte 2"),
    ("{} \r\n\tx", "trailing data at byte 6"),
    ("{}{}", "trailing data at byte 2"),
]


@pytest.mark.parametrize("header,text", DOCUMENT_ERRORS)
def test_document_errors(header, text):
    assert_parse_error(header, text)


WRITTEN = [
    # whitespace between tokens goes; the four whitespace bytes are accepted
    (' {\t"a" :\r\n[ 1 , 2 ] } \n', '{"a":[1,2]}'),
    ("{ }", "{}"),
    # number texts are carried, never converted or checked
    ('{"a":[1.0,2e3,-,1.2.3,1e5e5,007,-0,1-2,1e,1E+9]}', None),
    ('{"t":true,"f":false,"n":null}', None),
    ('{"a":1,"a":2,"b":{"c":1,"c":1}}', None),
    ('{"a":[],"b":{},"c":[[]],"d":""}', None),
    # strings take the writer's one spelling
    (r'{"a":"\/\"\\\b\f\n\r\t"}', r'{"a":"/\"\\\b\f\n\r\t"}'),
    (r'{"a":"\u00e9\u004A\u004a\u20AC"}', '{"a":"éJJ€"}'),
    (r'{"a":"\uD83D\uDE00","b":"\ud83d\ude00"}', '{"a":"😀","b":"😀"}'),
    (r'{"a":"\u0000\u000b\u001F\u007f\u0020"}', '{"a":"\\u0000\\u000b\\u001f\x7f "}'),
    ('{"a":"x\ty\nz\x01\x1f\x7f"}', '{"a":"x\\ty\\nz\\u0001\\u001f\x7f"}'),
    ('{"a":"é😀/"}', None),
    (r'{"\u0041\n":"k"}', r'{"A\n":"k"}'),
]


@pytest.mark.parametrize("header,expected", WRITTEN)
def test_writer(header, expected):
    assert rewritten(header) == (header if expected is None else expected)


def nested_arrays(levels):
    """A header nesting `levels` containers: the object and arrays in it."""
    return PREFIX + "[" * (levels - 1) + "]" * (levels - 1) + "}"


def test_nesting_up_to_the_bound_is_kept():
    assert rewritten(nested_arrays(128)) == nested_arrays(128)
    deep_objects = '{"a":' * 128 + "1" + "}" * 128
    assert rewritten(deep_objects) == deep_objects


def test_nesting_beyond_the_bound_is_refused():
    assert_parse_error(nested_arrays(129), "nesting deeper than 128 levels at 132")
    assert_parse_error('{"a":' * 129 + "1" + "}" * 129, "nesting deeper than 128 levels at 640")
    # empty containers count: the "{" after 127 arrays is the 129th level
    assert_parse_error(PREFIX + "[{}," * 127 + "[]", "nesting deeper than 128 levels at 510")


def test_a_million_brackets_do_not_exhaust_the_stack():
    assert_parse_error(PREFIX + "[" * 1_000_000, "nesting deeper than 128 levels at 132")


# Any JSON object, spelt with whitespace and escapes by Python's json
# module, comes back in compact form with the same number texts.
json_values = st.recursive(
    st.none()
    | st.booleans()
    | st.integers()
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(st.characters(blacklist_categories=("Cs",))),
    lambda children: st.lists(children, max_size=4)
    | st.dictionaries(st.text(max_size=5).filter(lambda k: k != "__metadata__"), children, max_size=4),
    max_leaves=20,
)


@settings(max_examples=150, deadline=None)
@given(
    st.dictionaries(st.text(max_size=5).filter(lambda k: k != "__metadata__"), json_values),
    st.booleans(),
)
def test_json_peer_round_trip(obj, ascii_only):
    header = json.dumps(obj, indent=1, ensure_ascii=ascii_only)
    # Python's compact form spells strings and numbers as the writer does
    assert rewritten(header) == json.dumps(obj, ensure_ascii=False, separators=(",", ":"))
