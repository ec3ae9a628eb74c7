// The URL-to-file-name rule: whatever the URL, the image stays directly inside the cache folder.
#include "http/img_download.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString url = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    const QString name = ImgDownload::imageFileName(url);
    const QString path = ImgDownload::localImagePath(QStringLiteral("/cache"), url);
    if (name.isEmpty()) {
        if (!path.isEmpty()) {
            __builtin_trap();
        }
        return 0;
    }
    if (name.contains(QLatin1Char('/')) || name.contains(QChar(0)) || name == QLatin1String(".") ||
        name == QLatin1String("..") || path != QStringLiteral("/cache/") + name) {
        __builtin_trap();
    }
    return 0;
}
