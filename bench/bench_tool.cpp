// Helper for bench/run.
//   morvane-bench serve NAME       answers every request line with a version reply
//   morvane-bench client NAME N    N plain connect/write/read/close exchanges
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const QByteArray versionReply = "{\"ok\":true,\"result\":{\"version\":\"bench\"}}\n";

int serve(const QString &name)
{
    QLocalServer::removeServer(name);
    QLocalServer server;
    if (!server.listen(name)) {
        std::fprintf(stderr, "cannot listen: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    QObject::connect(&server, &QLocalServer::newConnection, [&server] {
        while (QLocalSocket *socket = server.nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket] {
                if (!socket->canReadLine())
                    return;
                socket->readAll();
                socket->write(versionReply);
                socket->disconnectFromServer();
            });
        }
    });
    std::printf("ready\n");
    std::fflush(stdout);
    return QCoreApplication::exec();
}

// The same exchange as the runner's, with nothing but system calls.
int client(const QByteArray &path, int count)
{
    const QByteArray request = "{\"op\":\"version\",\"token\":\"bench\"}\n";
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < count; ++i) {
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
        if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            std::perror("connect");
            return 1;
        }
        if (write(fd, request.constData(), size_t(request.size())) != request.size())
            return 1;
        char buffer[4096];
        ssize_t total = 0;
        for (;;) {
            const ssize_t got = read(fd, buffer, sizeof buffer);
            if (got <= 0 || std::memchr(buffer, '\n', size_t(got)))
                break;
            total += got;
        }
        close(fd);
    }
    std::printf("%.3f\n", double(clock.nsecsElapsed()) / 1e9);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() == 3 && arguments.at(1) == QLatin1String("serve"))
        return serve(arguments.at(2));
    if (arguments.size() == 4 && arguments.at(1) == QLatin1String("client"))
        return client(QFile::encodeName(arguments.at(2)), arguments.at(3).toInt());
    std::fprintf(stderr, "usage: morvane-bench serve NAME | client PATH COUNT\n");
    return 2;
}
