#pragma once

#include "store/RecordTarget.h"

namespace vx {

// "Zucchetti": the records go into the inventory tables of the ERP's
// database (through the ZucchettiWriter the store was given). The database
// belongs to the ERP: no policy ever deletes, recreates or moves it, and a
// missing one is never replaced by an empty file; the program ends instead.
class ErpTarget : public RecordTarget {
public:
    explicit ErpTarget(const TargetContext &context);

    Policies UnderPolicies() const override { return Policies::CheckOnly; }
    bool Create() override;
    bool Writable(QString *why) const override;
    bool Store(const QByteArray &record) override;
};

} // namespace vx
