#!/usr/bin/env python3
"""testssl.sh's verdict on the front's TLS server, from its JSON findings (the file named on the
command line): only the "intermediate" suites (the TLS 1.3 ones and the ECDHE ones the RSA
certificate can use), TLS 1.2 and 1.3 only, HSTS of two years, and nothing rated MEDIUM or worse
but its cipher_order, which testssl.sh 3.0 rates HIGH whenever the client picks, as the profile
wants. Prints a line of what it found; fails on any other finding."""
import json
import sys

INTERMEDIATE = {"TLS_AES_128_GCM_SHA256", "TLS_AES_256_GCM_SHA384", "TLS_CHACHA20_POLY1305_SHA256",
                "ECDHE-ECDSA-AES128-GCM-SHA256", "ECDHE-RSA-AES128-GCM-SHA256", "ECDHE-ECDSA-AES256-GCM-SHA384",
                "ECDHE-RSA-AES256-GCM-SHA384", "ECDHE-ECDSA-CHACHA20-POLY1305", "ECDHE-RSA-CHACHA20-POLY1305",
                "DHE-RSA-AES128-GCM-SHA256", "DHE-RSA-AES256-GCM-SHA384", "DHE-RSA-CHACHA20-POLY1305"}
PROTOCOLS = ("SSLv2", "SSLv3", "TLS1", "TLS1_1", "TLS1_2", "TLS1_3")

with open(sys.argv[1]) as file:
    findings = json.load(file)
suites = {f["finding"].split()[3] for f in findings if f["id"].startswith("cipher-tls")}
protocols = {f["id"]: f["finding"] for f in findings if f["id"] in PROTOCOLS}
bad = [f'{f["id"]} {f["severity"]}: {f["finding"]}' for f in findings
       if f["severity"] in ("MEDIUM", "HIGH", "CRITICAL") and f["id"] != "cipher_order"]
hsts = next((f["finding"] for f in findings if f["id"] == "HSTS_time"), "none")
print(f"testssl.sh: {len(suites)} suites ({', '.join(sorted(suites))}); "
      f"{', '.join(f'{k} {v}' for k, v in protocols.items())}; HSTS {hsts}; "
      f"{len(findings)} findings, none MEDIUM or worse but cipher_order")
assert suites and suites <= INTERMEDIATE, f"suites outside the profile: {suites - INTERMEDIATE}"
assert [p for p, v in protocols.items() if v.startswith("offered")] == ["TLS1_2", "TLS1_3"], protocols
assert hsts.startswith("730 days"), hsts
assert not bad, bad
