#include "RandomBytes.h"

#include <QRandomGenerator>

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (char& byte : data)
        byte = char(generator.generate());
    return data;
}
