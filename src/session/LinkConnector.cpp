#include "session/LinkConnector.h"

#include "link/PTChannel.h"
#include "link/PTUSBHub.h"

#include <arpa/inet.h>

PTUSBHub* HubLinkConnector::usbHub() {
    if (!hub_) hub_ = PTUSBHub::sharedHub();
    return hub_;
}

const void* HubLinkConnector::hub() {
    return usbHub();
}

void HubLinkConnector::connectToUSBDevice(PTChannel& channel, quint16 port, qint64 deviceID,
                                          Callback callback) {
    channel.connectToPortOverUSBHub(port, usbHub(), deviceID, std::move(callback));
}

void HubLinkConnector::connectToLocalIPv4Port(PTChannel& channel, quint16 port, ConnectCallback callback) {
    channel.connectToPort(port, INADDR_LOOPBACK, std::move(callback));
}
