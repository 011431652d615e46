#include "publish/publishtool.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    return runUpdaterPublish(QCoreApplication::arguments());
}
