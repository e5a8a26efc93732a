#!/usr/bin/env python3
"""Checks the words of the program's own texts.

Every string literal of the program's sources (adjacent literals joined, as
the compiler joins them) is read. The texts kept word for word from the
original program are listed in original-texts.txt; the check

  1. finds each of them, exactly, in the literals (so none is "corrected" or
     translated by mistake), and
  2. refuses any other literal that holds an Italian word or a known
     misspelling: the program's own messages are English.

Usage: check-messages.py SOURCE_ROOT
Exit code 0 when both hold, 1 otherwise (each fault on standard error, as
file:line: text).
"""
import os
import re
import sys

FOLDERS = ["app", "ui", "tools", "transfer", "profiles", "collector", "store", "transport", "settings", "crclib", "platform"]
SUFFIXES = (".cpp", ".h", ".c")

# Words that are Italian and not English (so "per", "come", "non", "fine"
# are not here: they are English words as well).
ITALIAN = set("""
    alcun alcuna alcuno alla alle allo andare andata andato annulla annullare apertura apri aprire attendere attenzione
    avvio buon cartella chiave chiude chiudi chiusura collegato collegata completato comunicazione connessione
    controllo corretto correttamente corso dalla dati degli della delle dello errata errate errati errato errore errori
    eseguita eseguito fallita fallito impossibile impostazioni inserire inviato invio lettura mancante manuali
    nella nessun nessuna operazioni oppure opzioni perché porta porte prego prega profilo questa questo registro
    ricevuto ricezione riprovare riuscito salvare salvataggio salvato scaduto schermata scrittura selezionata
    selezionato settaggi settaggio sono stato stata successo terminale terminali trasmissione trovato trovata tutti
    uscire valore valori verificare
""".split())

# Misspellings this program's texts have had or are likely to get.
TYPOS = set("""
    accomodate adress begining comunication connexion costant costants definately esternal everithing existant
    lenght occured occurence paramter recieve recieved reciever seperate seperated seperator sucess succesful
    succesfully tipe untill wich
""".split())

ACCENTED = re.compile(r"[àèéìòùÀÈÉÌÒÙ]")
WORD = re.compile(r"[A-Za-zàèéìòùÀÈÉÌÒÙ]+(?:'[A-Za-z]+)?")


def unescape(body):
    """The text of a C++ string literal's body (the escapes this tree uses)."""
    out = []
    i = 0
    while i < len(body):
        c = body[i]
        if c != "\\" or i + 1 == len(body):
            out.append(c)
            i += 1
            continue
        e = body[i + 1]
        if e in "uU":
            n = 4 if e == "u" else 8
            out.append(chr(int(body[i + 2:i + 2 + n], 16)))
            i += 2 + n
        elif e == "x":
            m = re.match(r"[0-9A-Fa-f]+", body[i + 2:])
            out.append(chr(int(m.group(0), 16)))
            i += 2 + len(m.group(0))
        elif e in "01234567":
            m = re.match(r"[0-7]{1,3}", body[i + 1:])
            out.append(chr(int(m.group(0), 8)))
            i += 1 + len(m.group(0))
        else:
            out.append({"n": "\n", "r": "\r", "t": "\t"}.get(e, e))
            i += 2
    return "".join(out)


def literals(text):
    """(line, text) of each string literal, adjacent ones joined; comments,
    character literals and preprocessor include lines are skipped."""
    found = []
    i = 0
    line = 1
    n = len(text)
    pending = None  # [line, parts] of a literal that the next may continue
    while i < n:
        c = text[i]
        if c == "\n":
            line += 1
            i += 1
            continue
        if c in " \t\r":
            i += 1
            continue
        if text.startswith("//", i):
            while i < n and text[i] != "\n":
                i += 1
            continue
        if text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            line += text.count("\n", i, end)
            i = end
            continue
        if c == "#" and text.startswith("include", i + 1 + len(text[i + 1:]) - len(text[i + 1:].lstrip(" \t"))):
            while i < n and text[i] != "\n":
                i += 1
            continue
        if c == "'":
            m = re.match(r"'(?:[^'\\\n]|\\.)*'", text[i:])
            i += len(m.group(0)) if m else 1
            continue
        if c == '"':
            m = re.match(r'"((?:[^"\\\n]|\\.)*)"', text[i:])
            if not m:
                i += 1
                continue
            # u8"", L"" and the like: the prefix was read as a word before.
            if pending is None:
                pending = [line, []]
            pending[1].append(unescape(m.group(1)))
            i += len(m.group(0))
            continue
        if pending is not None:
            found.append((pending[0], "".join(pending[1])))
            pending = None
        m = re.match(r"[A-Za-z_0-9]+", text[i:])
        i += len(m.group(0)) if m else 1
    if pending is not None:
        found.append((pending[0], "".join(pending[1])))
    return found


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..")
    here = os.path.dirname(os.path.abspath(__file__))
    originals = []
    with open(os.path.join(here, "original-texts.txt"), encoding="utf-8") as f:
        for no, l in enumerate(f, 1):
            l = l.rstrip("\n")
            if not l.strip() or l.startswith("#"):
                continue
            if len(l) < 3 or l[0] != '"' or l[-1] != '"':
                print("check-messages: original-texts.txt:%d: not a text between double quotes" % no, file=sys.stderr)
                return 1
            originals.append(l[1:-1])
    # Longest first, so a text is taken out whole before a part of it.
    originals.sort(key=len, reverse=True)

    all_literals = []
    for folder in FOLDERS:
        for base, _, files in os.walk(os.path.join(root, folder)):
            for name in sorted(files):
                if not name.endswith(SUFFIXES):
                    continue
                path = os.path.join(base, name)
                with open(path, encoding="utf-8", errors="replace") as f:
                    text = f.read()
                rel = os.path.relpath(path, root)
                all_literals += [(rel, no, lit) for no, lit in literals(text)]

    faults = []
    joined = "\n".join(lit for _, _, lit in all_literals)
    for original in originals:
        if original not in joined:
            faults.append("original-texts.txt: \"%s\" is no longer in the program, word for word" % original)

    for rel, no, lit in all_literals:
        own = lit
        for original in originals:
            own = own.replace(original, "\0")
        bad = []
        for word in WORD.findall(own):
            w = word.lower()
            if w in ITALIAN or w in TYPOS or ACCENTED.search(w):
                bad.append(word)
        if bad:
            faults.append("%s:%d: \"%s\": %s" % (rel, no, lit.replace("\n", "\\n").replace("\r", "\\r"), ", ".join(bad)))

    for fault in faults:
        print("check-messages: " + fault, file=sys.stderr)
    if not faults:
        print("check-messages: %d literals, %d original texts: all well" % (len(all_literals), len(originals)))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
