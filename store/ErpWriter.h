#pragma once

#include "store/ErpDatabase.h"
#include "store/RecordStore.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace vx {

// One inventory record as the terminal sends it (positions from 1):
//   1-5 rows of the document, 6-10 row number (1 starts a document),
//   11-23 article code (blanks kept), 24-28 quantity, 29-36 unused,
//   37-40 year, 41-42 month, 43-44 day, 45-48 time, 49- unused.
struct ErpRecord {
    double lastRow = 0;  // pet_ultima_riga
    double row = 0;      // per_riga
    QByteArray code;     // per_codice_art, 13 characters
    double quantity = 0; // per_quantita
    double year = 0;     // per_aa
    qint16 month = 0;    // per_mm
    qint16 day = 0;      // per_gg
    double time = 0;     // per_ora

    // Records shorter than this are refused.
    static constexpr int MinimumLength = 50;
    // Cuts the fields out of a record of at least MinimumLength characters.
    static ErpRecord parse(const QByteArray &record);
};

// Writes records of a "Zucchetti" channel into the ERP tables: each record
// is one row of table "per"; a record with row number 1 first adds a header
// to table "pet" numbered one above the last header, and that number is
// used for the rows that follow, on every channel. The database is opened
// and closed for each record and is never created.
class ErpWriter : public ZucchettiWriter {
public:
    explicit ErpWriter(ErpContext context);

    // False when the record is shorter than 50 characters (nothing is
    // touched) or could not be written (nothing is left half-written).
    // A missing database shows its message and ends the program.
    bool WriteRecord(const QByteArray &record, const QString &dbPath, int channel) override;

    // The number of the current document: 0 until a row-1 record has been
    // written in this run.
    qint16 DocumentNumber() const { return m_documentNumber; }

private:
    ErpContext m_context;
    qint16 m_documentNumber = 0;
};

} // namespace vx
