// Temporary placeholder so the tree links while the proxy is written; replaced whole.
#include "proxy/udpproxymanager.h"
UdpProxyManager::UdpProxyManager(QObject *parent) : QObject(parent) {}
UdpProxyManager::~UdpProxyManager() = default;
QMap<QString, QVariant> UdpProxyManager::launch(const QString &, quint16, const QString &, quint16, const QString &)
{
    return {{QStringLiteral("status"), QStringLiteral("error")}, {QStringLiteral("message"), QStringLiteral("not built")}};
}
void UdpProxyManager::stop() {}
void UdpProxyManager::requestStop() { stopRequested = true; }
void UdpProxyManager::moveRuntimeToThread(QThread *) {}
