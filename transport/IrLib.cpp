#include "transport/IrLib.h"

#include "platform/Paths.h"

#include <QDebug>
#include <QFile>

#include <algorithm>
#include <dlfcn.h>

namespace vx::IrLib {

namespace {

using OpenFn = int (*)(int, int);
using WriteFn = int (*)(const char *);
using ReadFn = int (*)(char *);
using CloseFn = void (*)();

constexpr int readMax = 250;

// The library is loaded once, at the first call of any function; each
// function is looked up at its own first call. A library that cannot be
// loaded is reported once and leaves every call without effect.
struct Binding {
    QString path;
    bool pathChosen = false;
    bool loadTried = false;
    void *handle = nullptr;
    OpenFn open = nullptr;
    WriteFn write = nullptr;
    ReadFn read = nullptr;
    CloseFn close = nullptr;
    bool openTried = false;
    bool writeTried = false;
    bool readTried = false;
    bool closeTried = false;
    QString error;

    QString libraryPath()
    {
        if (!pathChosen) {
            path = Paths::programDir() + QStringLiteral("/libIrLib.so");
            pathChosen = true;
        }
        return path;
    }

    bool load()
    {
        if (loadTried)
            return handle != nullptr;
        loadTried = true;
        const QString file = libraryPath();
        handle = dlopen(QFile::encodeName(file).constData(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            error = QStringLiteral("The infrared library %1 cannot be loaded (%2): infrared links stay closed.")
                        .arg(file, QString::fromLocal8Bit(dlerror()));
            qWarning().noquote() << error;
        }
        return handle != nullptr;
    }

    template <typename Fn>
    Fn bind(Fn &slot, bool &tried, const char *name)
    {
        if (tried)
            return slot;
        tried = true;
        if (!load())
            return nullptr;
        slot = reinterpret_cast<Fn>(dlsym(handle, name));
        if (!slot) {
            error = QStringLiteral("The infrared library %1 has no function %2: that call does nothing.")
                        .arg(libraryPath(), QLatin1String(name));
            qWarning().noquote() << error;
        }
        return slot;
    }
};

Binding &binding()
{
    static Binding b;
    return b;
}

} // namespace

int vbOpenIrCom(int port, int speed)
{
    Binding &b = binding();
    const OpenFn fn = b.bind(b.open, b.openTried, "vbOpenIrCom");
    return fn ? fn(port, speed) : 0;
}

void WriteIrCom(const QByteArray &text)
{
    Binding &b = binding();
    const WriteFn fn = b.bind(b.write, b.writeTried, "WriteIrCom");
    if (fn)
        fn(text.constData());
}

QByteArray vbReadIrCom()
{
    Binding &b = binding();
    const ReadFn fn = b.bind(b.read, b.readTried, "vbReadIrCom");
    if (!fn)
        return {};
    // The library writes from the first character and returns the count.
    char buffer[readMax + 1];
    std::fill(buffer, buffer + readMax, ' ');
    buffer[readMax] = '\0';
    const int count = fn(buffer);
    if (count <= 0)
        return {};
    return QByteArray(buffer, std::min(count, readMax));
}

void CloseIrCom()
{
    Binding &b = binding();
    const CloseFn fn = b.bind(b.close, b.closeTried, "CloseIrCom");
    if (fn)
        fn();
}

QString LoadError()
{
    return binding().error;
}

void setLibraryPath(const QString &path)
{
    // The old library stays loaded: nothing of it is called any more.
    Binding &b = binding();
    b = Binding();
    b.path = path;
    b.pathChosen = true;
}

} // namespace vx::IrLib
