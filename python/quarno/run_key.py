"""The key of a run's content: the hash of its deck, options, program and
forcing files, the name of a run's folder in a fit and of its flow record.
Offered by quarno.service too."""

import hashlib
import json
import os
import shutil
import threading

# Hex digits of a content key (the name of a run's folder in a fit).
KEY_WIDTH = 16

# The program file hashes already computed, by (path, size, mtime).
_hashes = {}
_hashes_lock = threading.Lock()


def _sha(data):
    return hashlib.sha256(data).hexdigest()


def file_hash(path):
    """The SHA-256 of a file's content, as hex."""
    with open(path, "rb") as f:
        return _sha(f.read())


def program_hash(program):
    """The hash of the program file's content (of its name when it is no
    file), remembered while its size and time stamp stay the same.

    Parameters
    ----------
    program : str
        The program's path, or a name looked up on PATH.

    Returns
    -------
    str
        Its SHA-256, as hex.
    """
    path = shutil.which(program) or program
    try:
        st = os.stat(path)
    except OSError:
        return _sha(program.encode())
    stamp = (path, st.st_size, st.st_mtime_ns)
    with _hashes_lock:
        if stamp not in _hashes:
            _hashes[stamp] = file_hash(path)
        return _hashes[stamp]


def content_key(deck_text, bicond, options, program, extra="", files=None):
    """The key of a run's content.

    Parameters
    ----------
    deck_text : str
        crparam.txt.
    bicond : bytes
        crbicond.txt.
    options : list of str
        The options of the run.
    program : str
        The program (its content counts, not its path).
    extra : str, optional
        Anything else the results depend on (a flow state's hash).
    files : dict, optional
        Forcing files {relative path: bytes}; a deck without them keeps the
        key it always had.

    Returns
    -------
    str
        KEY_WIDTH hex digits.
    """
    h = hashlib.sha256()
    for part in (deck_text.encode("latin-1"), bicond, json.dumps(list(options)).encode(),
                 program_hash(program).encode(), extra.encode()):
        h.update(_sha(part).encode())
    for name, data in sorted((files or {}).items()):
        h.update(_sha(name.encode()).encode())
        h.update(_sha(data).encode())
    return h.hexdigest()[:KEY_WIDTH]
