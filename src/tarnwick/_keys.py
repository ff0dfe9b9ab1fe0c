"""Signing keys as users hold them: a PEM file (PKCS#8, SEC1 EC or PKCS#1
RSA, encrypted or not) or a key on a PKCS#11 token, held in memory and
turned into the C2PA SDK's signer.

The SDK reads only unencrypted PKCS#8 PEM, so a file key is decrypted and
converted here, in memory, by cryptography; a token's key never leaves the
token and signs through the SDK's callback signer. cryptography and
python-pkcs11 are imported when a key is loaded, so that tarnwick imports
without them."""

import hashlib
import os
import re
import stat
import threading
import urllib.parse

from ._errors import SigningError, UsageError

PASSWORD_ENV = "TARNWICK_KEY_PASSWORD"
PIN_ENV = "TARNWICK_PKCS11_PIN"
ALGS = ("es256", "es384", "es512", "ps256", "ps384", "ps512", "ed25519")
KEY_LIMIT = 1 << 20
SECRET_LIMIT = 1 << 16
KEY_FORMATS = "PKCS#8, SEC1 EC or PKCS#1 RSA"
SDK_KEYS = "EC (P-256, P-384, P-521), RSA (2048 bits or more) or Ed25519 keys"
MIN_RSA_BITS = 2048

# p11-kit's proxy module hands out every token the system has registered
# (SoftHSM2, OpenSC, vendor modules), so it serves as the default; the
# first of these that exists is taken (Debian and Ubuntu, Fedora, Arch).
PROXY_MODULES = ("/usr/lib/{multiarch}/p11-kit-proxy.so", "/usr/lib64/p11-kit-proxy.so",
                 "/usr/lib/p11-kit-proxy.so")

# The digest each algorithm signs with, by hashlib name (None: Ed25519
# signs the message itself).
_DIGEST = {"es256": "sha256", "es384": "sha384", "es512": "sha512", "ps256": "sha256", "ps384": "sha384",
           "ps512": "sha512", "ed25519": None}
# EC curves the SDK signs with: cryptography's name -> (shown name, alg, bytes of r and of s).
_CURVES = {"secp256r1": ("P-256", "es256", 32), "secp384r1": ("P-384", "es384", 48),
           "secp521r1": ("P-521", "es512", 66)}
# The same curves as a token gives CKA_EC_PARAMS (a DER OID or, for
# Edwards curves, a printable string).
_EC_PARAMS = {bytes.fromhex("06082a8648ce3d030107"): "secp256r1", bytes.fromhex("06052b81040022"): "secp384r1",
              bytes.fromhex("06052b81040023"): "secp521r1"}
_ED25519_PARAMS = (bytes.fromhex("06032b6570"), b"\x13\x0cedwards25519")

_PEM_BLOCK = re.compile(rb"-----BEGIN ([A-Z0-9 ]{1,64})-----(.*?)-----END \1-----", re.S)


def _not_pem(name):
    return UsageError(f"{name}: not a private key in PEM ({KEY_FORMATS})")


class SigningKey:
    """A private key held in memory, never written to disk. `alg`: the C2PA
    signing algorithm it implies; `name`: the key as the user gave it."""

    name = "the key"
    alg = "es256"
    kind = "a key"            # for messages: "a P-256 key", "an RSA key of 2048 bits"
    algs = ("es256",)         # every algorithm the key can sign with

    def check_alg(self, alg=None):
        """`alg` (None: the key's own) when the key signs with it; else a
        UsageError."""
        if alg is None:
            return self.alg
        if alg not in ALGS:
            raise UsageError(f"unknown signing algorithm {alg!r}: one of {', '.join(ALGS)}")
        if alg not in self.algs:
            either = " or ".join(filter(None, (", ".join(self.algs[:-1]), self.algs[-1])))
            raise UsageError(f"{self.name}: {self.kind} signs with {either}, not {alg}")
        return alg

    def public_key(self):
        raise NotImplementedError

    def sign(self, data, alg=None):
        """The signature of `data` as COSE and the SDK's callback signer take
        it: r||s for ECDSA, the PSS signature for RSA, Ed25519's own."""
        raise NotImplementedError

    def sign_der(self, data, alg=None):
        """The signature of `data` as DSSE and X.509 take it: DER for ECDSA,
        the same bytes as sign() for RSA and Ed25519."""
        signature = self.sign(data, alg)
        if not self.kind.startswith("a P-"):
            return signature
        from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature
        half = len(signature) // 2
        return encode_dss_signature(int.from_bytes(signature[:half], "big"), int.from_bytes(signature[half:], "big"))

    def close(self):
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        return f"<{type(self).__name__} {self.name} {self.alg}>"


def _classify(name, private_or_public):
    """(kind, alg, algs, r-and-s size or None) of a cryptography key; a
    UsageError for a key the SDK does not sign with."""
    from cryptography.hazmat.primitives.asymmetric import dsa, ec, ed448, ed25519, rsa, x448, x25519
    key = private_or_public
    if isinstance(key, (ec.EllipticCurvePrivateKey, ec.EllipticCurvePublicKey)):
        if key.curve.name not in _CURVES:
            raise UsageError(f"{name}: an EC key on {key.curve.name}: the SDK signs with P-256, P-384 or P-521")
        shown, alg, size = _CURVES[key.curve.name]
        return f"a {shown} key", alg, (alg,), size
    if isinstance(key, (rsa.RSAPrivateKey, rsa.RSAPublicKey)):
        return _rsa(name, key.key_size)
    if isinstance(key, (ed25519.Ed25519PrivateKey, ed25519.Ed25519PublicKey)):
        return "an Ed25519 key", "ed25519", ("ed25519",), None
    others = ((dsa.DSAPrivateKey, "a DSA key"), (ed448.Ed448PrivateKey, "an Ed448 key"),
              (x25519.X25519PrivateKey, "an X25519 key"), (x448.X448PrivateKey, "an X448 key"))
    kind = next((text for cls, text in others if isinstance(key, cls)), f"a {type(key).__name__}")
    raise UsageError(f"{name}: {kind}: the SDK signs with {SDK_KEYS}")


def _rsa(name, bits):
    if bits < MIN_RSA_BITS:
        raise UsageError(f"{name}: an RSA key of {bits} bits: the SDK signs with RSA {MIN_RSA_BITS} or more")
    return f"an RSA key of {bits} bits", "ps256", ("ps256", "ps384", "ps512"), None


def _hash(alg):
    from cryptography.hazmat.primitives import hashes
    return {"sha256": hashes.SHA256, "sha384": hashes.SHA384, "sha512": hashes.SHA512}[_DIGEST[alg]]()


class FileKey(SigningKey):
    """A key read from PEM, decrypted in memory."""

    def __init__(self, name, private):
        self.name = name
        self.kind, self.alg, self.algs, self._half = _classify(name, private)
        self._private = private

    def public_key(self):
        return self._private.public_key()

    def sign(self, data, alg=None):
        alg = self.check_alg(alg)
        from cryptography.hazmat.primitives.asymmetric import ec, padding
        if alg.startswith("es"):
            from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature
            r, s = decode_dss_signature(self._private.sign(data, ec.ECDSA(_hash(alg))))
            return r.to_bytes(self._half, "big") + s.to_bytes(self._half, "big")
        if alg.startswith("ps"):
            digest = _hash(alg)
            return self._private.sign(data, padding.PSS(padding.MGF1(digest), digest.digest_size), digest)
        return self._private.sign(data)

    def pkcs8(self):
        """The key as the SDK reads it: unencrypted PKCS#8 PEM, in memory."""
        from cryptography.hazmat.primitives import serialization
        return self._private.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                           serialization.NoEncryption())


def _read(path, limit, what):
    """A small file's bytes: a regular file or a pipe (`<(...)` in a shell),
    refused past `limit` while it is read."""
    name = os.fspath(path)
    try:
        fd = os.open(name, os.O_RDONLY | os.O_CLOEXEC | os.O_NOCTTY | os.O_NONBLOCK)
    except OSError as e:
        raise UsageError(f"{name}: cannot read the {what} file: {e.strerror}") from None
    try:
        mode = os.fstat(fd).st_mode
        if not (stat.S_ISREG(mode) or stat.S_ISFIFO(mode)):
            raise UsageError(f"{name}: the {what} file is not a regular file or a pipe")
        os.set_blocking(fd, True)
        chunks, size = [], 0
        while True:
            chunk = os.read(fd, 65536)
            if not chunk:
                return b"".join(chunks)
            size += len(chunk)
            if size > limit:
                raise UsageError(f"{name}: larger than the {limit} bytes a {what} file may hold")
            chunks.append(chunk)
    except OSError as e:
        raise UsageError(f"{name}: cannot read the {what} file: {e.strerror}") from None
    finally:
        os.close(fd)


def _secret(what, file, env, prompt, question):
    """(secret, where it came from) from a file's first line, else the
    environment, else the prompt; None when none gives one."""
    if file is not None:
        data = _read(file, SECRET_LIMIT, what)
        line = data.split(b"\n", 1)[0]
        if line.endswith(b"\r"):
            line = line[:-1]
        if not line:
            raise UsageError(f"{os.fspath(file)}: the {what} file's first line is empty")
        return line, os.fspath(file)
    if env and os.environ.get(env):
        return os.environ[env].encode("utf-8"), env
    if prompt is not None:
        answer = prompt(question)
        if answer:
            return (answer.encode("utf-8") if isinstance(answer, str) else bytes(answer)), "the prompt"
    return None


def _private_block(data):
    """(label, the PEM block) of the first private key in `data`, which may
    hold other blocks too (EC PARAMETERS from `openssl ecparam -genkey`, a
    certificate)."""
    for match in _PEM_BLOCK.finditer(data):
        if match.group(1).endswith(b"PRIVATE KEY"):
            return match.group(1).decode("ascii"), match.group(0)
    return None, None


def _load_pem(name, data, password_file, password_env, prompt):
    label, block = _private_block(data)
    if label is None:
        raise _not_pem(name)
    if label == "OPENSSH PRIVATE KEY":
        raise UsageError(f"{name}: an OpenSSH key: convert it to PKCS#8 with ssh-keygen -p -m PKCS8 -f FILE "
                         "(it rewrites FILE)")
    encrypted = label == "ENCRYPTED PRIVATE KEY" or b"Proc-Type: 4,ENCRYPTED" in block
    password = None
    if encrypted:
        password = _secret("password", password_file, password_env, prompt, f"password for {name}: ")
        if password is None:
            raise UsageError(f"{name}: the key is encrypted: give its password with --password-file FILE or "
                             f"{password_env or PASSWORD_ENV}")
    from cryptography.exceptions import UnsupportedAlgorithm
    from cryptography.hazmat.primitives import serialization
    try:
        private = serialization.load_pem_private_key(block, password[0] if password else None)
    except UnsupportedAlgorithm as e:
        raise UsageError(f"{name}: a key of a kind cryptography cannot read ({e}): the SDK signs with "
                         f"{SDK_KEYS}") from None
    except (ValueError, TypeError):
        if password is not None:
            raise UsageError(f"{name}: wrong password (from {password[1]})") from None
        raise _not_pem(name) from None
    return FileKey(name, private)


def load_key(key, *, password_file=None, password_env=PASSWORD_ENV, prompt=None, pin_file=None, pin_env=PIN_ENV,
             module=None):
    """A SigningKey from `key`: a path, PEM bytes or text (PKCS#8, SEC1 EC or
    PKCS#1 RSA, encrypted or not, legacy `Proc-Type: 4,ENCRYPTED` too), or
    a PKCS#11 URI. The password: `password_file`'s first line, else the
    `password_env` variable, else `prompt(question)` when given; asked for
    only when the key is encrypted. A token's PIN: `pin_file` (or the URI's
    pin-source or pin-value), else `pin_env`, else the prompt; `module`: the
    PKCS#11 module (default: p11-kit's proxy). Refusals are UsageErrors
    naming the key."""
    if isinstance(key, SigningKey):
        return key
    if isinstance(key, str) and key.startswith("pkcs11:"):
        return _load_token_key(key, pin_file, pin_env, prompt, module)
    if isinstance(key, (bytes, bytearray, memoryview)):
        name, data = "the key", bytes(key)
    elif isinstance(key, str) and key.lstrip().startswith("-----BEGIN"):
        name, data = "the key", key.encode("utf-8", "replace")
    else:
        name = os.fspath(key)
        data = _read(key, KEY_LIMIT, "key")
    return _load_pem(name, data, password_file, password_env, prompt)


def sdk_signer(c2pa, key, chain_pem, alg=None, tsa_url=None):
    """The C2PA SDK's signer for `key` and its certificate chain (PEM bytes,
    the key's certificate first). `alg`: None for the key's own; one the key
    does not sign with is a UsageError, as is a chain whose first
    certificate is not the key's. A file key goes to the SDK as unencrypted
    PKCS#8 PEM in memory; a token's key signs through a callback."""
    alg = key.check_alg(alg)
    chain_pem = bytes(chain_pem)
    _check_certificate(key, chain_pem)
    try:
        if isinstance(key, FileKey):
            info = c2pa.C2paSignerInfo(alg.encode(), chain_pem, key.pkcs8(), tsa_url.encode() if tsa_url else None)
            return c2pa.Signer.from_info(info)
        return c2pa.Signer.from_callback(lambda data: key.sign(data, alg), getattr(c2pa.C2paSigningAlg, alg.upper()),
                                         chain_pem, tsa_url)
    except c2pa.C2paError as e:
        raise SigningError(f"the C2PA SDK cannot sign with this certificate and key: {e}") from None


def _check_certificate(key, chain_pem):
    """Refuses a chain whose first certificate is for another key, which the
    SDK would sign with and every verifier then reject. A chain that does
    not parse, or a token key without a public half, is left to the SDK."""
    from cryptography import x509
    from cryptography.hazmat.primitives import serialization
    try:
        first = x509.load_pem_x509_certificates(chain_pem)[0].public_key()
    except ValueError:
        return
    try:
        ours = key.public_key()
    except UsageError:
        return
    spki = (serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)
    if first.public_bytes(*spki) != ours.public_bytes(*spki):
        raise UsageError(f"{key.name}: the certificate chain's first certificate is not this key's")


# PKCS#11 ---------------------------------------------------------------------------------------------------------

# RFC 7512 attributes: those matched against a token, and the query's.
_TOKEN_ATTRS = ("token", "manufacturer", "model", "serial", "slot-id", "slot-description", "slot-manufacturer",
                "library-manufacturer", "library-description", "library-version")
_OBJECT_ATTRS = ("object", "id", "type")
_QUERY_ATTRS = ("pin-source", "pin-value", "module-path")


class Pkcs11Uri:
    """A parsed `pkcs11:` URI. `path`: the path attributes (text, but `id`
    as bytes); `query`: the query's; `shown`: the URI without its query,
    for messages (a pin-value never appears in one)."""

    def __init__(self, path, query, shown):
        self.path, self.query, self.shown = path, query, shown


def parse_pkcs11_uri(uri):
    """An RFC 7512 URI: percent-decoded attributes; an unknown, repeated or
    empty one is a UsageError ("x-" vendor attributes are ignored)."""
    body = uri[len("pkcs11:"):]
    path_text, _, query_text = body.partition("?")
    shown = "pkcs11:" + path_text

    def attributes(text, sep, known, where):
        out = {}
        for part in text.split(sep) if text else ():
            attr, eq, value = part.partition("=")
            if not eq or not attr:
                raise UsageError(f"{shown}: {part!r} in the URI's {where} is not attribute=value")
            if attr.startswith("x-"):
                continue
            if attr not in known:
                raise UsageError(f"{shown}: unknown attribute {attr!r} in the URI's {where}: one of "
                                 f"{', '.join(known)}")
            if attr in out:
                raise UsageError(f"{shown}: {attr} given twice")
            try:
                out[attr] = (urllib.parse.unquote_to_bytes(value) if attr == "id"
                             else urllib.parse.unquote(value, errors="strict"))
            except UnicodeDecodeError:
                raise UsageError(f"{shown}: {attr} is not UTF-8 once percent-decoded") from None
            if not out[attr]:
                raise UsageError(f"{shown}: {attr} is empty")
        return out

    return Pkcs11Uri(attributes(path_text, ";", _TOKEN_ATTRS + _OBJECT_ATTRS, "path"),
                     attributes(query_text, "&", _QUERY_ATTRS, "query"), shown)


def default_module():
    """The PKCS#11 module used when none is named: p11-kit's proxy, the
    first of its usual places that exists (else the first, for the
    message)."""
    import sysconfig
    import platform
    multiarch = sysconfig.get_config_var("MULTIARCH") or f"{platform.machine()}-linux-gnu"
    places = [p.format(multiarch=multiarch) for p in PROXY_MODULES]
    return next((p for p in places if os.path.exists(p)), places[0])


class TokenKey(SigningKey):
    """A private key on a PKCS#11 token, used through an open session: it
    signs on the token, one signature at a time (a session is not shared
    between threads)."""

    def __init__(self, name, session, private, kind, alg, algs, half, public):
        self.name, self.kind, self.alg, self.algs = name, kind, alg, algs
        self._session, self._private, self._half, self._public = session, private, half, public
        self._lock = threading.Lock()

    def public_key(self):
        if self._public is None:
            raise UsageError(f"{self.name}: the token holds no public key or certificate for this key")
        return self._public

    def sign(self, data, alg=None):
        alg = self.check_alg(alg)
        import pkcs11
        digest = _DIGEST[alg]
        if alg.startswith("es"):
            mechanism, param, data = pkcs11.Mechanism.ECDSA, None, hashlib.new(digest, data).digest()
        elif alg.startswith("ps"):
            hashed = getattr(pkcs11.Mechanism, digest.upper())
            mechanism = pkcs11.Mechanism.RSA_PKCS_PSS
            param = (hashed, getattr(pkcs11.MGF, digest.upper()), hashlib.new(digest).digest_size)
            data = hashlib.new(digest, data).digest()
        else:
            mechanism, param = pkcs11.Mechanism.EDDSA, None
        with self._lock:
            if self._session is None:
                raise SigningError(f"{self.name}: the key's session with its token is closed")
            try:
                signature = bytes(self._private.sign(data, mechanism=mechanism, mechanism_param=param))
            except pkcs11.PKCS11Error as e:
                raise SigningError(f"{self.name}: the token could not sign ({type(e).__name__}: {e})") from None
        if self._half is not None and len(signature) != 2 * self._half:
            raise SigningError(f"{self.name}: the token gave a {len(signature)}-byte ECDSA signature, not "
                               f"{2 * self._half}")
        return signature

    def close(self):
        with self._lock:
            session, self._session = self._session, None
        if session is not None:
            try:
                session.close()
            except Exception:  # noqa: BLE001 - a token gone already has nothing to close
                pass


def _check_pin_sources(uri, pin_file):
    """The URI's pin-value is taken only when nothing else names the PIN: a
    command line shows it to every user of the machine, so a file is the
    way to give one."""
    named = [n for n, v in (("--pin-file", pin_file), ("pin-source", uri.query.get("pin-source")),
                            ("pin-value", uri.query.get("pin-value"))) if v is not None]
    if len(named) > 1:
        raise UsageError(f"{uri.shown}: the PIN is given by {' and '.join(named)}: give it one way")


def _pin(uri, pin_file, pin_env, prompt, token_label):
    """(PIN text, where it came from) or None."""
    source = uri.query.get("pin-source")
    value = uri.query.get("pin-value")
    if value is not None:
        return value, "the URI's pin-value"
    if source is not None:
        if source.startswith("file:"):
            source = urllib.parse.urlparse(source).path
        elif source.startswith("|"):
            raise UsageError(f"{uri.shown}: pin-source must name a file, not a command")
        pin_file = source
    found = _secret("PIN", pin_file, pin_env, prompt, f"PIN for token {token_label}: ")
    if found is None:
        return None
    try:
        return found[0].decode("utf-8"), found[1]
    except UnicodeDecodeError:
        raise UsageError(f"{found[1]}: the PIN is not UTF-8") from None


def _token_attributes(lib, slot, token):
    info = {"token": token.label, "manufacturer": token.manufacturer_id, "model": token.model,
            "serial": token.serial.decode("ascii", "replace"), "slot-id": str(slot.slot_id),
            "slot-description": slot.slot_description, "slot-manufacturer": slot.manufacturer_id,
            "library-manufacturer": lib.manufacturer_id, "library-description": lib.library_description,
            "library-version": "%d.%d" % lib.library_version}
    return {k: v.strip() if isinstance(v, str) else v for k, v in info.items()}


def _find_token(pkcs11, lib, uri):
    wanted = {k: v for k, v in uri.path.items() if k in _TOKEN_ATTRS}
    seen, found = [], []
    for slot in lib.get_slots(token_present=True):
        try:
            token = slot.get_token()
        except pkcs11.PKCS11Error:
            continue
        if not token.flags & pkcs11.TokenFlag.TOKEN_INITIALIZED:
            continue  # an empty slot SoftHSM2 and others offer for a new token
        attrs = _token_attributes(lib, slot, token)
        seen.append(attrs["token"])
        if all(attrs[k] == v for k, v in wanted.items()):
            found.append(token)
    if not found:
        present = ", ".join(repr(label) for label in seen) or "none"
        raise UsageError(f"{uri.shown}: no token matches (tokens present: {present})")
    if len(found) > 1:
        labels = ", ".join(repr(token.label) for token in found)
        raise UsageError(f"{uri.shown}: {len(found)} tokens match ({labels}): name one with token= or serial=")
    return found[0]


def _token_public(pkcs11, session, private):
    """The public half of a token's private key: its public key object, else
    its certificate (matched by CKA_ID, else by label); None when neither."""
    from cryptography import x509
    from cryptography.hazmat.primitives.asymmetric import ec, ed25519
    A, C = pkcs11.Attribute, pkcs11.ObjectClass
    key_type = private[A.KEY_TYPE]
    if key_type == pkcs11.KeyType.RSA:
        from cryptography.hazmat.primitives.asymmetric import rsa
        try:
            n = int.from_bytes(private[A.MODULUS], "big")
            e = int.from_bytes(private[A.PUBLIC_EXPONENT], "big")
            return rsa.RSAPublicNumbers(e, n).public_key()
        except (pkcs11.PKCS11Error, ValueError):
            pass
    match = {}
    for attr in (A.ID, A.LABEL):
        try:
            value = private[attr]
        except pkcs11.PKCS11Error:
            continue
        if value:
            match = {attr: value}
            break
    if not match:
        return None
    for obj in session.get_objects({A.CLASS: C.PUBLIC_KEY, **match}):
        try:
            params, point = bytes(obj[A.EC_PARAMS]), bytes(obj[A.EC_POINT])
            if params in _ED25519_PARAMS:
                return ed25519.Ed25519PublicKey.from_public_bytes(_raw_point(point, 32))
            curve = _EC_PARAMS[params]
            return ec.EllipticCurvePublicKey.from_encoded_point(
                getattr(ec, curve.upper())(), _raw_point(point, 1 + 2 * _CURVES[curve][2]))
        except (pkcs11.PKCS11Error, KeyError, ValueError):
            continue
    for obj in session.get_objects({A.CLASS: C.CERTIFICATE, **match}):
        try:
            return x509.load_der_x509_certificate(bytes(obj[A.VALUE])).public_key()
        except (pkcs11.PKCS11Error, ValueError):
            continue
    return None


def _raw_point(point, size):
    """CKA_EC_POINT's point: the standard wraps it in a DER OCTET STRING,
    some tokens give it bare."""
    if len(point) == size:
        return point
    header = bytes([0x04, size]) if size < 0x80 else bytes([0x04, 0x81, size])
    if point.startswith(header) and len(point) == len(header) + size:
        return point[len(header):]
    raise ValueError("not an EC point")


def _token_kind(pkcs11, name, private):
    """(kind, alg, algs, half) of a token's private key."""
    A = pkcs11.Attribute
    key_type = private[A.KEY_TYPE]
    if key_type == pkcs11.KeyType.EC:
        curve = _EC_PARAMS.get(bytes(private[A.EC_PARAMS]))
        if curve is None:
            raise UsageError(f"{name}: an EC key on a curve the SDK does not sign with: it signs with P-256, "
                             "P-384 or P-521")
        shown, alg, half = _CURVES[curve]
        return f"a {shown} key", alg, (alg,), half
    if key_type == pkcs11.KeyType.RSA:
        try:
            bits = len(bytes(private[A.MODULUS])) * 8
        except pkcs11.PKCS11Error:
            bits = int(private[A.MODULUS_BITS])
        return _rsa(name, bits)
    if key_type == pkcs11.KeyType.EC_EDWARDS and bytes(private[A.EC_PARAMS]) in _ED25519_PARAMS:
        return "an Ed25519 key", "ed25519", ("ed25519",), None
    raise UsageError(f"{name}: a {getattr(key_type, 'name', key_type)} key: the SDK signs with {SDK_KEYS}")


def _load_token_key(text, pin_file, pin_env, prompt, module):
    uri = parse_pkcs11_uri(text)
    name = uri.shown
    kind = uri.path.get("type")
    if kind is not None and kind != "private":
        raise UsageError(f"{name}: type={kind}: tarnwick signs with a private key (type=private)")
    if "object" not in uri.path and "id" not in uri.path:
        raise UsageError(f"{name}: name the key with object= (its label) or id=")
    _check_pin_sources(uri, pin_file)
    try:
        import pkcs11
    except ImportError:
        raise UsageError(f"{name}: keys on a PKCS#11 token need python-pkcs11: pip install python-pkcs11") from None
    path = module or uri.query.get("module-path") or default_module()
    if not os.path.isfile(path):
        raise UsageError(f"{name}: the PKCS#11 module {path} is not installed: name the token's module with "
                         "--pkcs11-module FILE (or module-path= in the URI)")
    try:
        lib = pkcs11.lib(path)
    except pkcs11.PKCS11Error as e:
        raise UsageError(f"{path}: cannot load the PKCS#11 module: {e}") from None
    try:
        token = _find_token(pkcs11, lib, uri)
        pin = _pin(uri, pin_file, pin_env, prompt, token.label)
        if pin is None and token.flags & pkcs11.TokenFlag.LOGIN_REQUIRED:
            raise UsageError(f"{name}: the token {token.label!r} needs its PIN: give it with --pin-file FILE or "
                             f"{pin_env or PIN_ENV}")
        try:
            session = token.open(user_pin=pin[0] if pin else None)
        except (pkcs11.PinIncorrect, pkcs11.PinInvalid, pkcs11.PinLenRange):
            raise UsageError(f"{name}: wrong PIN (from {pin[1]})") from None
        except pkcs11.PinLocked:
            raise UsageError(f"{name}: the token's PIN is locked") from None
    except pkcs11.PKCS11Error as e:
        raise UsageError(f"{name}: the token refused ({type(e).__name__}: {e})") from None
    try:
        A = pkcs11.Attribute
        wanted = {A.CLASS: pkcs11.ObjectClass.PRIVATE_KEY}
        if "object" in uri.path:
            wanted[A.LABEL] = uri.path["object"]
        if "id" in uri.path:
            wanted[A.ID] = uri.path["id"]
        keys = list(session.get_objects(wanted))
        if not keys:
            raise UsageError(f"{name}: the token holds no such private key")
        if len(keys) > 1:
            raise UsageError(f"{name}: {len(keys)} private keys match: name one with id=")
        kind, alg, algs, half = _token_kind(pkcs11, name, keys[0])
        public = _token_public(pkcs11, session, keys[0])
        return TokenKey(name, session, keys[0], kind, alg, algs, half, public)
    except BaseException as e:
        session.close()
        if isinstance(e, pkcs11.PKCS11Error):
            raise UsageError(f"{name}: the token refused ({type(e).__name__}: {e})") from None
        raise


class CallbackSigner(SigningKey):
    """A key held elsewhere (a cloud KMS, a remote signing service), signing
    through `sign(data) -> signature` as the key's library gives it (DER for
    ECDSA); `chain`: the PEM certificate chain (a path, bytes or text), the
    key's certificate first. Given as `signer=` to sign_file and sign_model,
    it signs the C2PA stores and an OpenSSF signature alike; an exception
    `sign` raises reaches the caller as it is, with nothing written."""

    kind = "a callback"

    def __init__(self, sign, chain, alg="es256", tsa_url=None):
        if not callable(sign):
            raise UsageError("CallbackSigner: sign must be a callable, sign(data) -> signature")
        if alg not in ALGS:
            raise UsageError(f"CallbackSigner: unknown signing algorithm {alg!r}: one of {', '.join(ALGS)}")
        if isinstance(chain, (bytes, bytearray)):
            self.chain = bytes(chain)
        elif isinstance(chain, str) and chain.lstrip().startswith("-----BEGIN"):
            self.chain = chain.encode("ascii")
        else:
            self.chain = _read(os.fspath(chain), 1 << 20, "certificate chain")
        self._sign, self.alg, self.algs, self.tsa_url = sign, alg, (alg,), tsa_url
        self.name = "the callback signer"
        self.error = None  # what sign raised, handed back once the SDK gives up

    def public_key(self):
        from cryptography import x509
        try:
            return x509.load_pem_x509_certificates(self.chain)[0].public_key()
        except ValueError as e:
            raise UsageError(f"CallbackSigner: the certificate chain cannot be read: {e}") from None

    def sign(self, data, alg=None):
        try:
            return bytes(self._sign(bytes(data)))
        except BaseException as e:
            self.error = e
            raise

    def sign_der(self, data, alg=None):
        return self.sign(data, alg)

    def raise_error(self):
        """The exception sign raised, if any, raised again (once)."""
        error, self.error = self.error, None
        if error is not None:
            raise error
