#include "Version.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream(stdout) << velora::kFileVersion << Qt::endl;
    return 0;
}
