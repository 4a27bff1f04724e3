"""Lists the C++ functions whose bodies are longer than a limit, counted from
the line of the opening brace to that of the closing one (lambdas and local
classes count with the function that holds them). Comments, literals and
preprocessor lines are ignored; a brace opens a function when the text before
it holds a parenthesis and no control keyword, namespace or initialiser.

    /usr/bin/python3 tools/long_functions.py [LIMIT [DIR ...]]

LIMIT defaults to 80, the directories to core/src, core/include and
python/src. Prints "lines file:line signature-tail", one function a line, and
exits with status 1 when it lists any (the test suite runs it).
"""
import re, sys, pathlib

LIMIT = int(sys.argv[1]) if len(sys.argv) > 1 else 80
roots = sys.argv[2:] or ["core/src", "core/include", "python/src"]

HEX = set("0123456789abcdefABCDEF")

def strip(text):
    # drop comments and string/char literals, keep newlines
    out = []; i = 0; n = len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i); j = n if j < 0 else j; i = j; continue
        if text.startswith("/*", i):
            j = text.find("*/", i + 2); j = n if j < 0 else j + 2
            out.append("\n" * text.count("\n", i, j)); i = j; continue
        if text.startswith('R"', i):
            m = re.match(r'R"([^(]*)\(', text[i:]);
            end = text.find(")" + m.group(1) + '"', i); j = end + len(m.group(1)) + 2
            out.append('""' + "\n" * text.count("\n", i, j)); i = j; continue
        if c == "'" and 0 < i < n - 1 and text[i - 1] in HEX and text[i + 1] in HEX:
            out.append(c); i += 1; continue  # a digit separator (1'000)
        if c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            out.append(c + c); i = j + 1; continue
        out.append(c); i += 1
    res = "".join(out)
    # drop preprocessor directives (with their continuation lines), keep newlines
    return re.sub(r"^[ \t]*#(?:[^\n]*\\\n)*[^\n]*", "", res, flags=re.M)

CONTROL = re.compile(r"^\s*(if|for|while|switch|catch|else|do|try)\b")
found = 0
for root in roots:
    for p in sorted(pathlib.Path(root).rglob("*")):
        if p.suffix not in (".cpp", ".hpp", ".inc", ".h"): continue
        s = strip(p.read_text())
        depth = 0; fn_depth = None; start = 0; head = ""; line = 1
        for ch in s:
            if ch == "\n": line += 1
            if ch == "{":
                if fn_depth is None:
                    h = head.strip()
                    if ")" in h and not CONTROL.match(h) and not h.startswith("namespace") and "=" not in h.split("(")[0]:
                        fn_depth = depth; start = line; name = h
                depth += 1; head = ""
            elif ch == "}":
                depth -= 1; head = ""
                if fn_depth is not None and depth == fn_depth:
                    length = line - start + 1
                    if length > LIMIT:
                        found += 1
                        sig = " ".join(name.split())
                        print(f"{length:4d} {p}:{start} {sig[-110:]}")
                    fn_depth = None
            elif ch == ";":
                head = ""
            else:
                head += ch

sys.exit(1 if found else 0)
