#!/usr/bin/python3
"""The driver package's security catalog (Ostrel.cat), made on Linux.

  catalog.py make OUT.cat --os-attr 2:5.1,... --hwid ID FILE...
  catalog.py check CAT DIR      every member's hashes against DIR's files
  catalog.py list CAT           members, algorithms and hashes, one a line

A catalog is a PKCS#7 SignedData whose content is a Microsoft certificate
trust list (CTL, 1.3.6.1.4.1.311.10.1) of catalog members. "make" writes it
with no signer: osslsigncode signs it (test signing), or the Hardware Dev
Center does (a release). Each member is a file of the package, listed by the
hash Windows computes for it: the Authenticode image hash for PE files (the
file without its checksum field, its certificate-table entry and the
certificate table itself), the hash of the whole file for the others.

Hashes: every file is listed twice, once by its SHA-1 hash and once by its
SHA-256 hash, in one catalog of the first catalog version (subject algorithm
1.3.6.1.4.1.311.12.1.2). The INF serves Windows 98 SE to 11 and one INF
names one catalog per architecture; the systems before Windows 8 look a file
up by its SHA-1 hash only and cannot read a second-version (SHA-256 only)
catalog, while current Windows looks up the SHA-256 hash first and the SHA-1
hash after it. The catalog's own signature uses SHA-256 (osslsigncode -h
sha256).

The member attributes are those inf2cat writes: the file's name ("File"),
the systems it is for ("OSAttr", as "2:6.1": platform 1 for the 98 family,
2 for NT, and the version), the subject interface package that hashed it
(member info) and the hash itself (SPC_INDIRECT_DATA); the catalog carries
"OSAttr" and the hardware id ("HWID1") as well.
"""
import datetime
import hashlib
import os
import struct
import sys

from asn1crypto import algos, cms, core

# Object identifiers of the catalog format (wincrypt.h, mscat.h, wintrust.h).
OID_CTL = "1.3.6.1.4.1.311.10.1"
OID_CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"
OID_CATALOG_LIST_MEMBER = "1.3.6.1.4.1.311.12.1.2"
OID_CAT_NAMEVALUE = "1.3.6.1.4.1.311.12.2.1"
OID_CAT_MEMBERINFO = "1.3.6.1.4.1.311.12.2.2"
OID_SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
OID_SPC_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
OID_SPC_CAB_DATA = "1.3.6.1.4.1.311.2.1.25"

# The subject interface packages that hash a member: the PE image SIP, and
# the flat-file SIP for everything else.
SIP_PE = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}"
SIP_FLAT = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}"
# CRYPTCAT_ATTR_AUTHENTICATED | CRYPTCAT_ATTR_DATAASCII | CRYPTCAT_ATTR_NAMEASCII
ATTR_FLAGS = 0x10010001
MEMBER_CERT_VERSION = 0x200
PE_SUFFIXES = (".sys", ".dll", ".exe", ".cpl")
ALGORITHMS = ("sha1", "sha256")


class SpcString(core.Choice):
    _alternatives = [
        ("unicode", core.BMPString, {"implicit": 0}),
        ("ascii", core.IA5String, {"implicit": 1}),
    ]


class SpcLink(core.Choice):
    _alternatives = [
        ("url", core.IA5String, {"implicit": 0}),
        ("moniker", core.Any, {"implicit": 1}),
        ("file", SpcString, {"explicit": 2}),
    ]


class SpcPeImageData(core.Sequence):
    _fields = [
        ("flags", core.BitString),
        ("file", SpcLink, {"explicit": 0, "optional": True}),
    ]


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]


class DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", algos.DigestAlgorithm), ("digest", core.OctetString)]


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", DigestInfo)]


class CatNameValue(core.Sequence):
    _fields = [("tag", core.BMPString), ("flags", core.Integer), ("value", core.OctetString)]


class CatMemberInfo(core.Sequence):
    _fields = [("subject_guid", core.BMPString), ("cert_version", core.Integer)]


class SetOfAny(core.SetOf):
    _child_spec = core.Any


class Attribute(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("values", SetOfAny)]


class Attributes(core.SetOf):
    _child_spec = Attribute


class TrustedSubject(core.Sequence):
    _fields = [("identifier", core.OctetString), ("attributes", Attributes, {"optional": True})]


class TrustedSubjects(core.SequenceOf):
    _child_spec = TrustedSubject


class Extension(core.Sequence):
    _fields = [
        ("extn_id", core.ObjectIdentifier),
        ("critical", core.Boolean, {"default": False}),
        ("extn_value", core.OctetString),
    ]


class Extensions(core.SequenceOf):
    _child_spec = Extension


class ObjectIdentifiers(core.SequenceOf):
    _child_spec = core.ObjectIdentifier


class CertificateTrustList(core.Sequence):
    _fields = [
        ("version", core.Integer, {"default": 0}),
        ("subject_usage", ObjectIdentifiers),
        ("list_identifier", core.OctetString, {"optional": True}),
        ("sequence_number", core.Integer, {"optional": True}),
        ("this_update", core.UTCTime),
        ("subject_algorithm", algos.DigestAlgorithm),
        ("trusted_subjects", TrustedSubjects, {"optional": True}),
        ("extensions", Extensions, {"explicit": 0, "optional": True}),
    ]


# The inner ContentInfo's content is the CTL, tagged [0] as any content.
cms.ContentInfo._oid_specs[OID_CTL] = CertificateTrustList


def pe_image_hash(data, algorithm):
    """The Authenticode hash of a PE image, as WinVerifyTrust computes it."""
    if data[:2] != b"MZ":
        raise ValueError("not a PE image (no MZ header)")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe : pe + 4] != b"PE\0\0":
        raise ValueError("not a PE image (no PE signature)")
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    if magic == 0x10B:
        directories = optional + 96
    elif magic == 0x20B:
        directories = optional + 112
    else:
        raise ValueError("unknown optional header magic 0x%x" % magic)
    checksum = optional + 64
    security = directories + 4 * 8  # IMAGE_DIRECTORY_ENTRY_SECURITY
    table, table_size = struct.unpack_from("<II", data, security)
    end = table if table else len(data)
    if table and table + table_size != len(data):
        raise ValueError("the certificate table is not at the end of the image")
    h = hashlib.new(algorithm)
    h.update(data[:checksum])
    h.update(data[checksum + 4 : security])
    h.update(data[security + 8 : end])
    # An unsigned image is hashed as padded to 8 bytes: signing pads it so
    # before appending the table, and the hash must not change by signing.
    if not table and len(data) % 8:
        h.update(b"\0" * (8 - len(data) % 8))
    return h.digest()


def file_hash(path, algorithm):
    with open(path, "rb") as f:
        data = f.read()
    if path.lower().endswith(PE_SUFFIXES):
        return pe_image_hash(data, algorithm)
    return hashlib.new(algorithm, data).digest()


def utf16z(text):
    return (text + "\0").encode("utf-16-le")


def name_value(tag, value):
    return CatNameValue({"tag": tag, "flags": ATTR_FLAGS, "value": utf16z(value)})


def attribute(oid, value):
    return Attribute({"type": oid, "values": [core.Any.load(value.dump())]})


def indirect_data(pe, algorithm, digest):
    obsolete = SpcLink(name="file", value=SpcString(name="unicode", value="<<<Obsolete>>>"))
    if pe:
        data = {"type": OID_SPC_PE_IMAGE_DATA,
                "value": SpcPeImageData({"flags": (), "file": obsolete})}
    else:
        data = {"type": OID_SPC_CAB_DATA, "value": obsolete}
    return SpcIndirectDataContent({
        "data": data,
        "message_digest": {"digest_algorithm": {"algorithm": algorithm, "parameters": None},
                           "digest": digest},
    })


def member(path, algorithm, os_attr):
    name = os.path.basename(path).lower()
    pe = name.endswith(PE_SUFFIXES)
    digest = file_hash(path, algorithm)
    attributes = [
        attribute(OID_CAT_NAMEVALUE, name_value("File", name)),
        attribute(OID_CAT_NAMEVALUE, name_value("OSAttr", os_attr)),
        attribute(OID_CAT_MEMBERINFO, CatMemberInfo(
            {"subject_guid": SIP_PE if pe else SIP_FLAT, "cert_version": MEMBER_CERT_VERSION})),
        attribute(OID_SPC_INDIRECT_DATA, indirect_data(pe, algorithm, digest)),
    ]
    # The member's tag is its hash in upper-case hexadecimal, as UTF-16 text.
    return TrustedSubject({"identifier": utf16z(digest.hex().upper()), "attributes": attributes})


def make(out, os_attr, hwid, files):
    subjects = [member(f, a, os_attr) for f in files for a in ALGORITHMS]
    subjects.sort(key=lambda s: s["identifier"].native)
    tags = b"".join(s["identifier"].native for s in subjects)
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    now = (datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc) if epoch
           else datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0))
    extensions = [
        {"extn_id": OID_CAT_NAMEVALUE, "extn_value": name_value("HWID1", hwid.lower()).dump()},
        {"extn_id": OID_CAT_NAMEVALUE, "extn_value": name_value("OSAttr", os_attr).dump()},
    ]
    ctl = CertificateTrustList({
        "subject_usage": [OID_CATALOG_LIST],
        # Any 16 bytes name the list; these follow from its members.
        "list_identifier": hashlib.md5(tags).digest(),
        "this_update": now,
        "subject_algorithm": {"algorithm": OID_CATALOG_LIST_MEMBER, "parameters": None},
        "trusted_subjects": subjects,
        "extensions": extensions,
    })
    # PKCS#7 (not CMS): the CTL is the content itself, not wrapped in an
    # OCTET STRING, as Windows and osslsigncode read catalogs.
    signed = cms.SignedData({
        "version": "v1",
        "digest_algorithms": [],
        "encap_content_info": cms.ContentInfo({"content_type": OID_CTL, "content": ctl}),
        "signer_infos": [],
    })
    info = cms.ContentInfo({"content_type": "signed_data", "content": signed})
    with open(out, "wb") as f:
        f.write(info.dump())


def members(path):
    """(file name, algorithm, digest, tag, OSAttr) of every member."""
    with open(path, "rb") as f:
        info = cms.ContentInfo.load(f.read())
    inner = info["content"]["encap_content_info"]
    if inner["content_type"].dotted != OID_CTL:
        raise ValueError("%s holds no certificate trust list" % path)
    ctl = inner["content"]
    if ctl["subject_algorithm"]["algorithm"].dotted != OID_CATALOG_LIST_MEMBER:
        raise ValueError("unexpected subject algorithm")
    result = []
    for subject in ctl["trusted_subjects"]:
        found = {}
        for attr in subject["attributes"]:
            value = attr["values"][0].dump()
            if attr["type"].dotted == OID_CAT_NAMEVALUE:
                nv = CatNameValue.load(value)
                found[nv["tag"].native] = nv["value"].native.decode("utf-16-le").rstrip("\0")
            elif attr["type"].dotted == OID_SPC_INDIRECT_DATA:
                spc = SpcIndirectDataContent.load(value)
                found["algorithm"] = spc["message_digest"]["digest_algorithm"]["algorithm"].native
                found["digest"] = spc["message_digest"]["digest"].native
        tag = subject["identifier"].native.decode("utf-16-le").rstrip("\0")
        result.append((found.get("File"), found.get("algorithm"), found.get("digest"), tag,
                       found.get("OSAttr")))
    return result


def check(path, directory):
    failed = 0
    listed = set()
    for name, algorithm, digest, tag, _ in members(path):
        if name is None or algorithm not in ALGORITHMS or digest is None:
            print("catalog: %s: a member lacks its file name or hash" % path, file=sys.stderr)
            failed = 1
            continue
        listed.add((name, algorithm))
        match = [f for f in os.listdir(directory) if f.lower() == name]
        if not match:
            print("catalog: %s lists %s, which is not in %s" % (path, name, directory),
                  file=sys.stderr)
            failed = 1
            continue
        actual = file_hash(os.path.join(directory, match[0]), algorithm)
        if actual != digest or tag != digest.hex().upper():
            print("catalog: %s: the %s hash of %s is %s, the catalog has %s (tag %s)"
                  % (path, algorithm, match[0], actual.hex(), digest.hex(), tag), file=sys.stderr)
            failed = 1
    names = {n for n, _ in listed}
    for name in names:
        for algorithm in ALGORITHMS:
            if (name, algorithm) not in listed:
                print("catalog: %s lists %s without its %s hash" % (path, name, algorithm),
                      file=sys.stderr)
                failed = 1
    return failed


def main(argv):
    if len(argv) >= 2 and argv[1] == "make":
        args = argv[2:]
        out = args.pop(0)
        options = {}
        while args and args[0].startswith("--"):
            key = args.pop(0)
            options[key] = args.pop(0) if args else None
        if set(options) != {"--os-attr", "--hwid"} or not args:
            print(__doc__, file=sys.stderr)
            return 2
        make(out, options["--os-attr"], options["--hwid"], args)
        return 0
    if len(argv) == 4 and argv[1] == "check":
        return check(argv[2], argv[3])
    if len(argv) == 3 and argv[1] == "list":
        for name, algorithm, digest, _, os_attr in sorted(members(argv[2]),
                                                          key=lambda m: (m[0], m[1])):
            print("%s %s %s %s" % (name, algorithm, digest.hex(), os_attr))
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
