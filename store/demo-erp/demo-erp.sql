-- A small ERP database for trying the inventory bridge: the tables and the
-- query that Vendrix reads and writes, and a few articles with prices.
-- Vendrix only uses the columns named here; a real ERP has many more.

BEGIN;

-- Articles (read by the bridge to fill the row descriptions).
CREATE TABLE art (
    ART_CODICE       TEXT PRIMARY KEY,
    art_descrizione1 TEXT,
    art_descrizione2 TEXT
);

-- Price list (only behind the article query).
CREATE TABLE lis (
    lis_codice_art TEXT PRIMARY KEY REFERENCES art (ART_CODICE),
    lis_prezzo_1   NUMERIC
);

-- Document headers: one per inventory document sent by a terminal.
CREATE TABLE pet (
    pet_progressivo INTEGER,
    pet_ultima_riga INTEGER
);

-- Document rows: one per record.
CREATE TABLE per (
    per_progressivo  INTEGER,
    per_riga         INTEGER,
    per_codice_art   TEXT,
    per_descrizione1 TEXT,
    per_descrizione2 TEXT,
    per_quantita     NUMERIC,
    per_aa           INTEGER,
    per_mm           INTEGER,
    per_gg           INTEGER,
    per_ora          INTEGER,
    per_penna        TEXT
);

-- The article list sent to terminals as a look-up file.
CREATE VIEW qryinputArticoliCPT AS
    SELECT art.ART_CODICE       AS art_codice,
           art.art_descrizione1 AS art_descrizione1,
           lis.lis_prezzo_1     AS lis_prezzo_1
    FROM art LEFT JOIN lis ON lis.lis_codice_art = art.ART_CODICE
    ORDER BY art.ART_CODICE;

INSERT INTO art VALUES ('8001234567890', 'PENNA A SFERA BLU', 'CONFEZIONE DA 10');
INSERT INTO art VALUES ('8001234567906', 'QUADERNO A4 A RIGHE', '80 FOGLI');
INSERT INTO art VALUES ('8001234567913', 'EVIDENZIATORE GIALLO PUNTA A SCALPELLO', NULL);
INSERT INTO art VALUES ('8001234567920', 'RISMA CARTA A4 80 G', '500 FOGLI');
INSERT INTO art VALUES ('CART-SCATOLA-GRANDE', 'SCATOLA DI CARTONE GRANDE', 'SENZA PREZZO');

INSERT INTO lis VALUES ('8001234567890', 125);
INSERT INTO lis VALUES ('8001234567906', 250);
INSERT INTO lis VALUES ('8001234567913', 180);
INSERT INTO lis VALUES ('8001234567920', 4990);

COMMIT;
