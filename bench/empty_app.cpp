// Floor of the runner's start-up for bench/run: a program that links Qt Core
// and Qt Network, as the runner does, constructs the application object and
// ends.
#include <QCoreApplication>
#include <QLocalSocket>

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    // Keeps Qt Network a needed library even where the linker drops unused ones.
    const QMetaObject *volatile network = &QLocalSocket::staticMetaObject;
    return network ? 0 : 1;
}
