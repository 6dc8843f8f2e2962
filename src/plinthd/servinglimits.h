// What bounds the TCP masters: how many may be connected, how long one may
// stay idle, which networks may connect and which may write, and the secure
// port with its files. Read from the optional members of the "tcp" and
// "tcppi" objects of "init".
#pragma once

#include <cJSON.h>

#include <memory>
#include <string>

#include "accessrules.h"

class CTlsContext;

// Masters served at once when "init" names no number ("clients" 0 or
// absent). The kiosk sends its own (10); this bounds a daemon configured by
// hand while leaving room for a plant's SCADA, HMI and engineering masters.
constexpr int MB_DEFAULT_MAX_CLIENTS = 512;

typedef struct ServingConfig_s {
    int iMaxClients = MB_DEFAULT_MAX_CLIENTS;
    int iIdleTimeoutS = 0; // 0: masters may stay idle for ever
    CAddressList allowConnect;
    CAddressList allowWrite;
    // The secure port; null when TLS is not served.
    std::shared_ptr<CTlsContext> pTls;
} ServingConfig_t;

// Reads "clients", "idletimeout", "allowconnect", "allowwrite" and "tls" of
// the interface object into serving (reset first). 0, or 108 with the
// reason in sInfo.
int ParseServingConfig(const cJSON* pParams, ServingConfig_t& serving, std::string& sInfo);

// Raises the soft limit of descriptors to the hard one, so that the number
// of masters, not the descriptor limit, is what bounds the connections.
void RaiseDescriptorLimit();
