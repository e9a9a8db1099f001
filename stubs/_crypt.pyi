# One-way password hashing through the system's libcrypt.

# None when libcrypt refuses the salt or the word (no hash is made then).
def crypt(word: str, salt: str, /) -> str | None: ...
