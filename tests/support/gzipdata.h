#pragma once

#include <QByteArray>

// data as one gzip member (header, deflate stream, CRC and length), as gzip(1) would write it.
QByteArray gzipData(const QByteArray& data);
