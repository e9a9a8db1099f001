import json
import os
import tempfile

import nsutil

SHADOW = ("root:$6$saltsalt$Zm9vYmFyYmF6cXV4:19000:0:99999:7:::\n"
          "\u00e9milie:!:19500::::::\n"
          "svc:*:18000:1:90:14:30:20000:\n")

CHILD = """
import json, os
out = {"all": [list(e) for e in kelpin.getspall()]}
e = kelpin.getspnam("\\u00e9milie")
out["one"] = [e.sp_namp, e.sp_pwdp, e.sp_lstchg, e.sp_max, e.sp_flag, e.sp_nam]
try:
    kelpin.getspnam("nobody-here")
except KeyError as exc:
    out["missing"] = str(exc)
print(json.dumps(out))
"""


def show(load):
    kelpin = load("kelpin")
    print(f"  struct_kelpin: {kelpin.struct_kelpin.n_sequence_fields} fields in the tuple, "
          f"{kelpin.struct_kelpin.n_fields} in all (sp_nam, sp_pwd kept as attributes)")
    reason = nsutil.unavailable()
    if reason is not None:
        print(f"  (no private namespace for a private shadow file here: {reason})")
        return
    with tempfile.TemporaryDirectory() as work:
        shadow = os.path.join(work, "shadow")
        nsswitch = os.path.join(work, "nsswitch.conf")
        with open(shadow, "w") as f:
            f.write(SHADOW)
        os.chmod(shadow, 0o640)
        with open(nsswitch, "w") as f:
            f.write("shadow: files\n")
        script = f"mount --bind {shadow} /etc/shadow\nmount --bind {nsswitch} /etc/nsswitch.conf\nchild"
        out = json.loads(nsutil.run(script, names=("kelpin",), code=CHILD).stdout)
    print("  A private shadow file, bind-mounted over /etc/shadow in a namespace:")
    for line in SHADOW.splitlines():
        print(f"    {line}")
    print("  getspall():")
    for entry in out["all"]:
        print(f"    {entry}")
    print(f"  getspnam('\u00e9milie') -> sp_namp, sp_pwdp, sp_lstchg, sp_max, sp_flag, sp_nam = {out['one']}")
    print(f"  getspnam('nobody-here') -> KeyError {out['missing']}")
