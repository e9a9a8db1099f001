import subprocess

import pytest


@pytest.fixture(scope="module")
def crypt(load):
    return load("_crypt")


DOC = (
    "crypt($module, word, salt, /)\n--\n\n"
    "Hash a *word* with the given *salt* and return the hashed password.\n\n"
    "*word* will usually be a user's password.  *salt* (either a random 2 or 16\n"
    "character string, possibly prefixed with $digit$ to indicate the method)\n"
    "will be used to perturb the encryption algorithm and produce distinct\n"
    "results for a given *word*."
)


def test_module_surface(crypt):
    assert crypt.__doc__ is None
    # The interpreter splits the signature line off into __text_signature__.
    signature, text = DOC.split("\n--\n\n")
    assert crypt.crypt.__doc__ == text
    assert crypt.crypt.__text_signature__ == signature[len("crypt"):]
    assert sorted(n for n in vars(crypt) if not n.startswith("__")) == ["crypt"]


def openssl(flag, salt, word):
    # Through stdin, so an empty word is a word too.
    return subprocess.run(["openssl", "passwd", flag, "-salt", salt, "-stdin"], input=word + "\n",
                          capture_output=True, text=True, check=True).stdout.strip()


def mkpasswd(word, *args):
    return subprocess.run(["mkpasswd", word, *args], capture_output=True, text=True,
                          check=True).stdout.strip()


@pytest.mark.parametrize("word", ["hunter2", "päss wörd", "x" * 200])
@pytest.mark.parametrize("flag,prefix,salt", [
    ("-1", "$1$", "saltsalt"),
    ("-5", "$5$", "sixteencharsalt."),
    ("-6", "$6$", "abcdefgh"),
])
def test_agrees_with_openssl(crypt, word, flag, prefix, salt):
    # openssl carries its own implementation of these three methods.
    assert crypt.crypt(word, prefix + salt) == openssl(flag, salt, word)


@pytest.mark.parametrize("setting", [
    "$2b$05$abcdefghijklmnopqrstuu",
    "$y$j9T$abcdefghijklmnop$",
    "$6$rounds=5000$usesomesillystri$",
])
def test_agrees_with_mkpasswd(crypt, setting):
    assert crypt.crypt("correct horse", setting) == mkpasswd("correct horse", setting)


@pytest.mark.parametrize("method,salt,prefix", [
    ("md5crypt", "saltsalt", "$1$"),
    ("sha256crypt", "abcdefgh", "$5$"),
    ("sha512crypt", "abcdefgh", "$6$"),
])
def test_empty_word_is_hashed_like_any_other(crypt, method, salt, prefix):
    # openssl refuses an empty word, so mkpasswd reads it from stdin here.
    expected = subprocess.run(["mkpasswd", "-s", "-m", method, "-S", salt], input="\n",
                              capture_output=True, text=True, check=True).stdout.strip()
    assert crypt.crypt("", prefix + salt) == expected


def test_des_agrees_with_mkpasswd(crypt):
    assert crypt.crypt("secret", "ab") == mkpasswd("secret", "-m", "descrypt", "-S", "ab")
    assert crypt.crypt("", "ab") == mkpasswd("", "-m", "descrypt", "-S", "ab")
    assert crypt.crypt("secret", "ab").startswith("ab")


def test_hash_verifies_against_itself(crypt):
    hashed = crypt.crypt("pw", "$6$somesalt$")
    assert crypt.crypt("pw", hashed) == hashed
    assert crypt.crypt("pW", hashed) != hashed


@pytest.mark.parametrize("salt", ["!!", "", "a", "*", "*0", "$9$x", "$1"])
def test_rejected_salt_gives_none(crypt, salt):
    assert crypt.crypt("word", salt) is None


@pytest.mark.parametrize("args,exc,message", [
    ((), TypeError, "crypt() takes exactly 2 arguments (0 given)"),
    (("w",), TypeError, "crypt() takes exactly 2 arguments (1 given)"),
    (("w", "ab", "x"), TypeError, "crypt() takes exactly 2 arguments (3 given)"),
    ((1, "ab"), TypeError, "crypt() argument 1 must be str, not int"),
    (("w", b"ab"), TypeError, "crypt() argument 2 must be str, not bytes"),
    (("w", None), TypeError, "crypt() argument 2 must be str, not None"),
    (("w\0x", "ab"), ValueError, "embedded null character"),
    (("\ud800", "ab"), UnicodeEncodeError, None),
])
def test_bad_arguments(crypt, args, exc, message):
    with pytest.raises(exc) as info:
        crypt.crypt(*args)
    if message is not None:
        assert str(info.value) == message


def test_no_reference_leak(crypt):
    import sys
    word, salt = "leakcheck", "$5$abc$"
    before = sys.getrefcount(word), sys.getrefcount(salt)
    for _ in range(200):
        crypt.crypt(word, salt)
        crypt.crypt(word, "!!")
    assert (sys.getrefcount(word), sys.getrefcount(salt)) == before
