// Temporary placeholder so the tree links while the latency probe is written; replaced whole.
#include "proxy/udpproxymanager.h"
bool UdpProxyManager::handleProbeDatagram(const char *, qint64, const QHostAddress &, quint16) { return false; }
void UdpProxyManager::startLatencyProbe() {}
void UdpProxyManager::handleLatencyProbeTick() {}
void UdpProxyManager::finishLatencyProbe() {}
int UdpProxyManager::delayForRtt(int) { return 0; }
void UdpProxyManager::sendDelayProposal() {}
void UdpProxyManager::handleDelayWaitTick() {}
void UdpProxyManager::completeDelayNegotiation() {}
