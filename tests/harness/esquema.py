"""Checks gpbridge event lines against schema/events.schema.json.

Python's standard library has no JSON Schema validator, so this module
implements the part of draft 2020-12 that our schema uses:

    type, const, enum, required, properties, additionalProperties, items,
    minItems, maxItems, minLength, maxLength, pattern, minimum, maximum,
    oneOf, anyOf, allOf, $defs, $ref (local "#/..." pointers only)

plus the annotations $schema, $id, $comment, title and description. A schema
that uses any other keyword is refused when loaded, so nothing is silently
left unchecked.

Two rules go beyond JSON Schema, because the bridge's wire format is fixed:

* Key order. Every object's keys must come in the order its schema lists
  them under "properties" (json.loads keeps the order of the line).
* Integers are integers: 1.0 or true is not an "integer".

    validate(obj)        the parsed event; AssertionError if it does not match
    validate_line(text)  one line as read (without its line feed): parses it,
                         refuses duplicate keys, validates it and checks it is
                         written exactly as the bridge writes (no spaces, only
                         quote, backslash and bytes below 0x20 escaped, the
                         latter as lowercase \\u00xx)
"""

import json
import os
import re

SCHEMA_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                           "..", "..", "schema", "events.schema.json")

_ANNOTATIONS = {"$schema", "$id", "$comment", "title", "description", "$defs"}
_KEYWORDS = {"type", "const", "enum", "required", "properties", "additionalProperties",
             "items", "minItems", "maxItems", "minLength", "maxLength", "pattern",
             "minimum", "maximum", "oneOf", "anyOf", "allOf", "$ref"}


class _Mismatch(Exception):
    def __init__(self, path, message):
        super().__init__(f"{path or '/'}: {message}")
        self.path = path
        self.message = message


def _describe(value):
    text = json.dumps(value, ensure_ascii=False)
    # Bytes that were not UTF-8 arrive as lone surrogates: show them escaped.
    text = text.encode("utf-8", "backslashreplace").decode("utf-8")
    return text if len(text) <= 80 else text[:77] + "..."


def _is_type(value, name):
    if name == "object":
        return isinstance(value, dict)
    if name == "array":
        return isinstance(value, list)
    if name == "string":
        return isinstance(value, str)
    if name == "integer":
        return isinstance(value, int) and not isinstance(value, bool)
    if name == "number":
        return isinstance(value, (int, float)) and not isinstance(value, bool)
    if name == "boolean":
        return isinstance(value, bool)
    if name == "null":
        return value is None
    raise ValueError(f"unknown type {name!r} in schema")


def _same(a, b):
    """JSON equality: 1 and true differ, key order does not matter."""
    if isinstance(a, bool) or isinstance(b, bool):
        return type(a) is type(b) and a == b
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(_same(a[k], b[k]) for k in a)
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(_same(x, y) for x, y in zip(a, b))
    if isinstance(a, (int, float)) and isinstance(b, (int, float)):
        return a == b
    return type(a) is type(b) and a == b


class Schema:
    def __init__(self, root):
        self.root = root
        self._check_keywords(root, "#")

    @classmethod
    def load(cls, path=SCHEMA_PATH):
        with open(path, encoding="utf-8") as f:
            return cls(json.load(f))

    # -- loading -------------------------------------------------------------

    def _check_keywords(self, schema, where):
        if isinstance(schema, bool):
            return
        if not isinstance(schema, dict):
            raise ValueError(f"{where}: a schema must be an object or a boolean")
        unknown = set(schema) - _KEYWORDS - _ANNOTATIONS
        if unknown:
            raise ValueError(f"{where}: keywords not supported by esquema.py: {sorted(unknown)}")
        for name, sub in schema.get("$defs", {}).items():
            self._check_keywords(sub, f"{where}/$defs/{name}")
        for name, sub in schema.get("properties", {}).items():
            self._check_keywords(sub, f"{where}/properties/{name}")
        for key in ("items", "additionalProperties"):
            if key in schema:
                self._check_keywords(schema[key], f"{where}/{key}")
        for key in ("oneOf", "anyOf", "allOf"):
            for i, sub in enumerate(schema.get(key, [])):
                self._check_keywords(sub, f"{where}/{key}/{i}")
        if "$ref" in schema:
            self._resolve(schema["$ref"])
        if "pattern" in schema:
            re.compile(schema["pattern"])

    def _resolve(self, ref):
        if not ref.startswith("#"):
            raise ValueError(f"only local references are supported, not {ref!r}")
        node = self.root
        for part in filter(None, ref[1:].split("/")):
            part = part.replace("~1", "/").replace("~0", "~")
            if not isinstance(node, dict) or part not in node:
                raise ValueError(f"reference {ref!r} leads nowhere")
            node = node[part]
        return node

    # -- checking ------------------------------------------------------------

    def check(self, value, schema=None, path=""):
        """Raises _Mismatch for the first rule `value` breaks."""
        if schema is None:
            schema = self.root
        if schema is True:
            return
        if schema is False:
            raise _Mismatch(path, "nothing is allowed here")
        if "$ref" in schema:
            self.check(value, self._resolve(schema["$ref"]), path)

        if "type" in schema:
            names = schema["type"] if isinstance(schema["type"], list) else [schema["type"]]
            if not any(_is_type(value, n) for n in names):
                raise _Mismatch(path, f"expected {' or '.join(names)}, got {_describe(value)}")
        if "const" in schema and not _same(value, schema["const"]):
            raise _Mismatch(path, f"expected {_describe(schema['const'])}, got {_describe(value)}")
        if "enum" in schema and not any(_same(value, v) for v in schema["enum"]):
            raise _Mismatch(path, f"expected one of {_describe(schema['enum'])}, got {_describe(value)}")

        if isinstance(value, str):
            if "minLength" in schema and len(value) < schema["minLength"]:
                raise _Mismatch(path, f"shorter than {schema['minLength']}: {_describe(value)}")
            if "maxLength" in schema and len(value) > schema["maxLength"]:
                raise _Mismatch(path, f"longer than {schema['maxLength']}: {_describe(value)}")
            if "pattern" in schema and not re.search(schema["pattern"], value):
                raise _Mismatch(path, f"{_describe(value)} does not match /{schema['pattern']}/")
        if _is_type(value, "number"):
            if "minimum" in schema and value < schema["minimum"]:
                raise _Mismatch(path, f"{value} is below the minimum {schema['minimum']}")
            if "maximum" in schema and value > schema["maximum"]:
                raise _Mismatch(path, f"{value} is above the maximum {schema['maximum']}")
        if isinstance(value, list):
            if "minItems" in schema and len(value) < schema["minItems"]:
                raise _Mismatch(path, f"fewer than {schema['minItems']} items")
            if "maxItems" in schema and len(value) > schema["maxItems"]:
                raise _Mismatch(path, f"more than {schema['maxItems']} items")
            if "items" in schema:
                for i, item in enumerate(value):
                    self.check(item, schema["items"], f"{path}/{i}")
        if isinstance(value, dict):
            self._check_object(value, schema, path)

        for sub in schema.get("allOf", []):
            self.check(value, sub, path)
        if "anyOf" in schema:
            failures = self._failures(value, schema["anyOf"], path)
            if len(failures) == len(schema["anyOf"]):
                raise self._explain(value, schema["anyOf"], failures, path, "any")
        if "oneOf" in schema:
            failures = self._failures(value, schema["oneOf"], path)
            matched = len(schema["oneOf"]) - len(failures)
            if matched == 0:
                raise self._explain(value, schema["oneOf"], failures, path, "one")
            if matched > 1:
                raise _Mismatch(path, f"matches {matched} alternatives where exactly one must")

    def _check_object(self, value, schema, path):
        props = schema.get("properties", {})
        for key in schema.get("required", []):
            if key not in value:
                raise _Mismatch(path, f"missing key {key!r}")
        extra = schema.get("additionalProperties", True)
        for key, item in value.items():
            if key in props:
                self.check(item, props[key], f"{path}/{key}")
            elif extra is False:
                raise _Mismatch(path, f"unexpected key {key!r}")
            else:
                self.check(item, extra, f"{path}/{key}")
        listed = [k for k in value if k in props]
        expected = [k for k in props if k in value]
        if listed != expected:
            raise _Mismatch(path, f"keys in the order {listed}, expected {expected}")

    def _failures(self, value, alternatives, path):
        failures = {}
        for i, sub in enumerate(alternatives):
            try:
                self.check(value, sub, path)
            except _Mismatch as m:
                failures[i] = m
        return failures

    def _discriminators(self, schema):
        """The const values an alternative demands of its object's keys."""
        while isinstance(schema, dict) and "$ref" in schema and "properties" not in schema:
            schema = self._resolve(schema["$ref"])
        if not isinstance(schema, dict):
            return {}
        return {k: s["const"] for k, s in schema.get("properties", {}).items()
                if isinstance(s, dict) and "const" in s}

    def _explain(self, value, alternatives, failures, path, how):
        """The most useful reason no alternative matched: when the value
        carries an alternative's tag (e.g. "e":"foto"), that alternative's own
        reason; otherwise which tags would have been accepted."""
        if isinstance(value, dict):
            tagged = []
            tags = []
            for i, sub in enumerate(alternatives):
                wanted = self._discriminators(sub)
                if not wanted:
                    continue
                tags.append(wanted)
                if all(k in value and _same(value[k], v) for k, v in wanted.items()):
                    tagged.append(i)
            if len(tagged) == 1:
                return failures[tagged[0]]
            if tags and not tagged:
                keys = sorted({k for t in tags for k in t})
                seen = {k: value.get(k, "(missing)") for k in keys}
                options = sorted({_describe(t[k]) for t in tags for k in t})
                return _Mismatch(path, f"unknown kind {_describe(seen)}; expected one of {', '.join(options)}")
        reasons = "; ".join(str(failures[i]) for i in sorted(failures))
        return _Mismatch(path, f"matches none of the {how}Of alternatives ({reasons})")


_schema = None


def schema():
    global _schema
    if _schema is None:
        _schema = Schema.load()
    return _schema


def validate(obj):
    """Raises AssertionError unless `obj` is one valid event, keys in order."""
    try:
        schema().check(obj)
    except _Mismatch as m:
        raise AssertionError(f"invalid event {_describe(obj)}: {m}") from None


def _no_duplicates(pairs):
    seen = set()
    for key, _ in pairs:
        if key in seen:
            raise AssertionError(f"duplicate key {key!r}")
        seen.add(key)
    return dict(pairs)


def _string(text):
    out = ['"']
    for ch in text:
        if ch in '"\\':
            out.append("\\" + ch)
        elif ord(ch) < 0x20:
            out.append("\\u%04x" % ord(ch))
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def _canonical(value):
    """`value` written the way the bridge writes JSON."""
    if isinstance(value, dict):
        return "{" + ",".join(_string(k) + ":" + _canonical(v) for k, v in value.items()) + "}"
    if isinstance(value, list):
        return "[" + ",".join(_canonical(v) for v in value) + "]"
    if isinstance(value, str):
        return _string(value)
    if isinstance(value, bool) or value is None:
        return json.dumps(value)
    if isinstance(value, int):
        return str(value)
    return repr(value)


def validate_line(text):
    """Checks one event line (str, without its line feed; decode the bytes
    with "surrogateescape" so bytes that are not UTF-8 survive) and returns
    the parsed event."""
    if isinstance(text, bytes):
        text = text.decode("utf-8", "surrogateescape")
    try:
        obj = json.loads(text, object_pairs_hook=_no_duplicates)
    except (ValueError, AssertionError) as exc:
        raise AssertionError(f"not a valid JSON line ({exc}): {text!r}") from None
    validate(obj)
    written = _canonical(obj)
    if written != text:
        raise AssertionError(f"event not written in the bridge's form:\n  got  {text!r}\n  want {written!r}")
    return obj
