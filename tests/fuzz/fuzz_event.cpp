// The stored event body: parsing never fails loudly, and a parsed event writes back the same.
#include "common/data.h"

#include <QLoggingCategory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool quiet = [] {
        QLoggingCategory::setFilterRules(QStringLiteral("*=false"));
        return true;
    }();
    Q_UNUSED(quiet)
    const MsgEventInfo event(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    if (!(MsgEventInfo(event.toJson()) == event)) {
        __builtin_trap();
    }
    return 0;
}
