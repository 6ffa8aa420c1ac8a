#!/usr/bin/python3
# Lists the users of an SMB password file as Samba's own password database
# reads it (the smbpasswd back-end of its passdb layer): one line each,
# "name LM NT" in upper-case hex, "-" for a hash it holds none of.
#   smbpasswd_list.py SMB.CONF SMBPASSWD
import binascii
import os
import sys

from samba.samba3 import param as s3param
from samba.samba3 import passdb

conf, path = sys.argv[1], sys.argv[2]
state = "/tmp/passdb-state"
os.makedirs(state, exist_ok=True)
# The appliance's configuration, with LM hashes kept (Samba drops them
# by default).
wrapper = os.path.join(state, "smb.conf")
with open(wrapper, "w") as f:
    f.write("[global]\n\tlanman auth = yes\n\tntlm auth = yes\n\tinclude = %s\n" % conf)
lp = s3param.get_context()
lp.load(wrapper)
for key in ("private dir", "state directory", "lock directory", "cache directory"):
    lp.set(key, state)
passdb.set_secrets_dir(state)
pdb = passdb.PDB("smbpasswd:" + path)


def hexed(b):
    return binascii.hexlify(b).decode().upper() if b else "-"


for user in sorted(pdb.search_users(0), key=lambda u: u["account_name"]):
    sam = pdb.getsampwnam(user["account_name"])
    print(user["account_name"], hexed(sam.lanman_passwd), hexed(sam.nt_passwd))
