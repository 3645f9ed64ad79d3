#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Throwaway TLS certificates for trying and testing HTTPS, made with the openssl command.

make(directory) writes, with EC P-256 keys and validity of two days unless said otherwise:

  ca.pem                      a test CA (the file to give the tool's --cacert)
  server.pem, server.key      from the test CA, for 127.0.0.1, ::1 and localhost (subjectAltName
                              IP and DNS entries)
  wrong-name.pem, .key        from the test CA, for the name other.invalid only
  expired.pem, .key           from the test CA, for the same names as server.pem, valid only on
                              1 January 2020
  untrusted.pem, .key         for the same names as server.pem, from a second CA that nobody trusts
  other-ca.pem                that second CA
  intermediate.pem            an intermediate CA issued by the test CA
  chained.pem, .key           from the intermediate CA, for the same names as server.pem; the file
                              holds the leaf and then the intermediate CA (the chain a server sends)
  cn-only.pem, .key           from the test CA, with CN=localhost and no subjectAltName
  rsa1024.pem, .key           from the test CA, for the same names as server.pem, with an RSA key
                              of 1024 bits (too weak)
  client-ca.pem               a CA for client certificates
  client.pem, .key            a client certificate (CN=vemrick test merchant) from client-ca
  stranger.pem, .key          a client certificate from the second CA

No private key is kept anywhere else: each run makes new ones. Usage: certs.py DIRECTORY
"""
import base64
import hashlib
import os
import subprocess
import sys

NAMES = "IP:127.0.0.1,IP:::1,DNS:localhost"
TWO_DAYS = ("-days", "2")
CLIENT = "vemrick test merchant"
LEAVES = (  # file name, issuing CA, subjectAltName (or CN= for a common name alone), validity
            # (openssl ca options), key
    ("server", "ca", NAMES, TWO_DAYS, "ec"),
    ("wrong-name", "ca", "DNS:other.invalid", TWO_DAYS, "ec"),
    ("expired", "ca", NAMES, ("-startdate", "20200101000000Z", "-enddate", "20200102000000Z"), "ec"),
    ("untrusted", "other-ca", NAMES, TWO_DAYS, "ec"),
    ("chained", "intermediate", NAMES, TWO_DAYS, "ec"),
    ("cn-only", "ca", "CN=localhost", TWO_DAYS, "ec"),
    ("rsa1024", "ca", NAMES, TWO_DAYS, "rsa:1024"),
    ("client", "client-ca", "CN=" + CLIENT, TWO_DAYS, "ec"),
    ("stranger", "other-ca", "CN=" + CLIENT, TWO_DAYS, "ec"),
)
KEYS = {"ec": ("-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"),
        "rsa:1024": ("-newkey", "rsa:1024", "-nodes")}
EC_KEY = KEYS["ec"]

# The CA's own configuration for `openssl ca`, which alone sets any validity period.
CA_CONFIG = """\
[ca]
default_ca = this
[this]
dir = {dir}
database = $dir/index.txt
serial = $dir/serial
new_certs_dir = $dir
default_md = sha256
policy = any
unique_subject = no
[any]
commonName = supplied
[req]
distinguished_name = dn
prompt = no
[dn]
CN = {cn}
[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
"""
LEAF_EXT = """\
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature{encipherment}
extendedKeyUsage = {usage}
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
"""


def openssl(*args):
    """Run openssl; raises RuntimeError with its message when it fails."""
    try:
        proc = subprocess.run(("openssl",) + args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=60)
    except FileNotFoundError:
        raise RuntimeError("the openssl command is not installed (Debian package openssl)")
    if proc.returncode != 0:
        raise RuntimeError("openssl %s failed: %s" % (args[0], proc.stderr.decode("latin-1").strip()))


def make_ca(directory, name, cn, parent=None):
    """A CA in directory/name/, its certificate copied to directory/name.pem: self-signed, or
    issued by the CA whose configuration is parent."""
    home = os.path.join(directory, name)
    os.mkdir(home, 0o700)
    config = os.path.join(home, "ca.cnf")
    with open(config, "w") as f:
        f.write(CA_CONFIG.format(dir=home, cn=cn))
    open(os.path.join(home, "index.txt"), "w").close()
    with open(os.path.join(home, "serial"), "w") as f:
        f.write("01\n")
    cert, key = os.path.join(directory, name + ".pem"), os.path.join(home, "ca.key")
    if parent is None:
        openssl("req", "-config", config, "-x509", *EC_KEY, "-keyout", key, "-out", cert, "-days", "2",
                "-extensions", "ca_ext")
        return config
    csr = os.path.join(home, "ca.csr")
    openssl("req", "-config", config, "-new", *EC_KEY, "-keyout", key, "-out", csr)
    sign(parent, csr, cert, ("-extensions", "ca_ext") + TWO_DAYS)
    return config


def sign(config, csr, out, options):
    """Issue the request csr with the CA of config into out."""
    home = os.path.dirname(config)
    openssl("ca", "-config", config, "-batch", "-notext", "-cert", home + ".pem",
            "-keyfile", os.path.join(home, "ca.key"), "-in", csr, "-out", out, *options)


def make_leaf(directory, name, config, names, validity, key_kind):
    key, csr, ext = (os.path.join(directory, name + suffix) for suffix in (".key", ".csr", ".ext"))
    client = names.startswith("CN=" + CLIENT)
    with open(ext, "w") as f:
        f.write(LEAF_EXT.format(usage="clientAuth" if client else "serverAuth",
                                encipherment=", keyEncipherment" if key_kind.startswith("rsa") else ""))
        if not names.startswith("CN="):
            f.write("subjectAltName = %s\n" % names)
    subject = names if names.startswith("CN=") else "CN=" + names.split(",")[0].split(":", 1)[1]
    openssl("req", "-new", *KEYS[key_kind], "-keyout", key, "-out", csr, "-subj", "/" + subject)
    out = os.path.join(directory, name + ".pem")
    sign(config, csr, out, ("-extfile", ext) + validity)
    if os.path.basename(os.path.dirname(config)) == "intermediate":
        with open(out, "a") as f, open(os.path.dirname(config) + ".pem") as issuer:
            f.write(issuer.read())
    os.unlink(csr)
    os.unlink(ext)


def pin(path):
    """The public key pin ("sha256//BASE64") of the first certificate in the PEM file path."""
    try:
        key = subprocess.run(("openssl", "x509", "-in", path, "-pubkey", "-noout"), check=True,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60).stdout
        der = subprocess.run(("openssl", "pkey", "-pubin", "-outform", "der"), input=key, check=True,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60).stdout
    except (OSError, subprocess.SubprocessError) as e:
        raise RuntimeError("cannot read the public key of %s: %s" % (path, e))
    return "sha256//" + base64.b64encode(hashlib.sha256(der).digest()).decode()


def make(directory):
    """Write every certificate and key into the existing directory; returns {name: path} of the
    .pem and .key files (names such as "ca", "server", "server.key")."""
    configs = {"ca": make_ca(directory, "ca", "vemrick test CA"),
               "other-ca": make_ca(directory, "other-ca", "vemrick untrusted test CA"),
               "client-ca": make_ca(directory, "client-ca", "vemrick client test CA")}
    configs["intermediate"] = make_ca(directory, "intermediate", "vemrick intermediate test CA",
                                      configs["ca"])
    for name, issuer, names, validity, key_kind in LEAVES:
        make_leaf(directory, name, configs[issuer], names, validity, key_kind)
    paths = {name: os.path.join(directory, name + ".pem") for name in configs}
    for name, _, _, _, _ in LEAVES:
        paths[name] = os.path.join(directory, name + ".pem")
        paths[name + ".key"] = os.path.join(directory, name + ".key")
    return paths


def main(argv):
    if len(argv) != 1 or not os.path.isdir(argv[0]):
        sys.stderr.write(__doc__.split("\n\n")[0] + "\nUsage: certs.py DIRECTORY (an existing directory)\n")
        return 2
    try:
        paths = make(argv[0])
    except (RuntimeError, OSError) as e:
        sys.stderr.write("certs.py: %s\n" % e)
        return 1
    for name, path in sorted(paths.items()):
        print("%-16s %s" % (name, path))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
