#!/usr/bin/env python3
"""Checks the program's sources against the layer graph the build declares.

The build writes one line per layer (name|kind|folders|sources|links) to layers.txt. A source
may include the headers of its own layer and of the layers it reaches through its links, and
nothing else of the project; every .cpp under a layer's folders must be built by some layer.

  check-layers.py LAYERS_TXT SOURCE_DIR
  check-layers.py LAYERS_TXT SOURCE_DIR --plant FILE=HEADER
      adds '#include "HEADER"' to FILE (in memory) and succeeds only when the check reports
      exactly that include: proof that the check catches a back-edge.
"""

import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.MULTILINE)
PRODUCTION_ROOTS = ("platform", "server", "transport", "app", "tools")


def read_map(path):
    layers = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line:
                continue
            name, kind, folders, sources, links = line.split("|")
            split = lambda text: [item for item in text.split(";") if item]
            layers[name] = {
                "kind": kind,
                "folders": split(folders),
                "sources": [os.path.normpath(s) for s in split(sources)],
                "links": split(links),
            }
    return layers


def reach(layers, name, seen=None):
    """The layer itself and every layer it links, directly or not."""
    seen = set() if seen is None else seen
    if name in seen or name not in layers:
        return seen
    seen.add(name)
    for link in layers[name]["links"]:
        reach(layers, link, seen)
    return seen


def owners(layers):
    """Folder -> the library that owns its headers; source file -> the layer that builds it."""
    folder_owner, source_owner = {}, {}
    for name, layer in layers.items():
        for source in layer["sources"]:
            source_owner[source] = name
        if layer["kind"] == "library":
            for folder in layer["folders"]:
                if folder in folder_owner:
                    sys.exit(f"a pasta {folder} pertence a duas camadas: "
                             f"{folder_owner[folder]} e {name}")
                folder_owner[folder] = name
    program_folders = {folder: name for name, layer in layers.items()
                       if layer["kind"] == "program" for folder in layer["folders"]}
    return folder_owner, source_owner, program_folders


def production_files(root):
    for top in PRODUCTION_ROOTS:
        for folder, _, files in os.walk(os.path.join(root, top)):
            for file in files:
                if file.endswith((".cpp", ".h")):
                    yield os.path.relpath(os.path.join(folder, file), root)


def check(layers, root, planted=None):
    folder_owner, source_owner, program_folders = owners(layers)
    problems = []
    for path in sorted(production_files(root)):
        folder = os.path.dirname(path)
        layer = source_owner.get(path) or folder_owner.get(folder) or program_folders.get(folder)
        if layer is None:
            problems.append(f"{path}: a pasta {folder} não pertence a nenhuma camada")
            continue
        if path.endswith(".cpp") and path not in source_owner:
            problems.append(f"{path}: nenhuma camada compila este arquivo")
        with open(os.path.join(root, path), encoding="utf-8") as f:
            text = f.read()
        if planted and planted[0] == path:
            text += f'\n#include "{planted[1]}"\n'
        allowed = reach(layers, layer)
        for header in INCLUDE.findall(text):
            header_folder = os.path.dirname(header)
            if not header_folder:
                continue  # generated headers and a folder's own, by plain name
            owner = folder_owner.get(header_folder)
            if owner is None:
                problems.append(f"{path}: inclui {header}, que não é de nenhuma camada")
            elif owner not in allowed:
                problems.append(f"{path}: inclui {header} da camada {owner}, "
                                f"que {layer} não alcança")
    return problems


def main(argv):
    if len(argv) not in (3, 5) or (len(argv) == 5 and argv[3] != "--plant"):
        sys.exit(__doc__)
    layers = read_map(argv[1])
    root = argv[2]
    if len(argv) == 5:
        file, _, header = argv[4].partition("=")
        problems = check(layers, root, (os.path.normpath(file), header))
        expected = [p for p in problems if p.startswith(f"{file}: inclui {header} ")]
        for problem in problems:
            print(problem)
        if len(problems) == 1 and expected:
            print("a inclusão plantada foi apontada, e só ela")
            return 0
        print("FALHA: a inclusão plantada não foi apontada sozinha")
        return 1
    problems = check(layers, root)
    for problem in problems:
        print(problem)
    if problems:
        print(f"{len(problems)} inclusões fora do grafo das camadas (docs/ARCHITECTURE.md)")
        return 1
    print(f"{len(layers)} camadas; toda inclusão segue o grafo")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
