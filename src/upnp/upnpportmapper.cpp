// Temporary placeholder so the tree links while the mapper is written; replaced whole.
#include "upnp/upnpportmapper.h"
UpnpPortMapper::UpnpPortMapper(QObject *parent) : QObject(parent) {}
UpnpPortMapper::~UpnpPortMapper() = default;
void UpnpPortMapper::mapUdpPorts(const QList<quint16> &, const QString &) {}
