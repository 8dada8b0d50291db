// Firewall: the allow rules of the Wi-Fi Direct programs in the Windows
// Firewall, added after an install and removed by name after an uninstall.
// They are not part of the transaction; failures are only logged.
#pragma once

#include "Handles.h"

#include <windows.h>
#include <netfw.h>

namespace qel {

// The firewall policy for the span of one operation.
class FirewallMain {
public:
    virtual ~FirewallMain() = default;
    ComPtr<INetFwPolicy2> policy;
};

class FirewallWrapper {
public:
    virtual ~FirewallWrapper() = default;
    // The six rules for the two programs, in their fixed order; E_FAIL when a
    // program is missing, else S_OK whatever the firewall answered.
    HRESULT AddFirewallRules(BSTR linkpad, BSTR sendToExplorer);
    // The six rules by name; S_OK whatever the firewall answered.
    HRESULT RemoveFirewallRules();
};

HRESULT WindowsFirewallInitialize(FirewallMain& main);
HRESULT AddFirewallRule(FirewallMain& main, BSTR grouping, BSTR name, BSTR description, BSTR application, BSTR ports,
                        NET_FW_IP_PROTOCOL protocol, NET_FW_RULE_DIRECTION direction);
HRESULT RemoveFirewallRule(FirewallMain& main, BSTR name);

}  // namespace qel
