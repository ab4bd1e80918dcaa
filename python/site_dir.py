# SPDX-License-Identifier: MIT
"""Prints the folder, relative to the prefix given, where this Python finds installed modules."""
import os
import site
import sys
import sysconfig

prefix = os.path.normpath(sys.argv[1])
for folder in site.getsitepackages():
    relative = os.path.relpath(folder, prefix)
    # Inside the prefix itself, not below a nested one (/usr/local/... seen from /usr).
    if relative.startswith("lib"):
        print(relative)
        break
else:
    scheme = "posix_prefix" if "posix_prefix" in sysconfig.get_scheme_names() else None
    folder = sysconfig.get_path("platlib", scheme, vars={"base": prefix, "platbase": prefix})
    print(os.path.relpath(folder, prefix))
