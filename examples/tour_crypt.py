def show(load):
    crypt = load("_crypt")
    print("  One-way password hashes; libcrypt picks the method from the salt.")
    for label, salt in [("DES", "ab"), ("MD5", "$1$saltsalt$"), ("SHA-512", "$6$saltsalt$"),
                        ("bcrypt", "$2b$05$abcdefghijklmnopqrstuu"), ("yescrypt", "$y$j9T$abcdefghijklmnop$")]:
        print(f"  {label:9} crypt('swordfish', {salt!r})\n            -> {crypt.crypt('swordfish', salt)}")
    hashed = crypt.crypt("swordfish", "$6$saltsalt$")
    print(f"  checking a password: {crypt.crypt('swordfish', hashed) == hashed} (right), "
          f"{crypt.crypt('swordflsh', hashed) == hashed} (wrong)")
    print(f"  a salt libcrypt rejects ('!!') -> {crypt.crypt('swordfish', '!!')!r}")
