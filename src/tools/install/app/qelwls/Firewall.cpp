// The Windows Firewall rules of the Wi-Fi Direct programs, through the
// firewall's COM interfaces. COM is initialised around each operation.
#include "Firewall.h"

#include "Trace.h"

namespace qel {
namespace {
constexpr DWORD kApartment = COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE;
const wchar_t kGrouping[] = L"Wi-Fi Direct Rule Group";

struct RuleText {
    const wchar_t* name;
    const wchar_t* description;
    int application;  // 1 or 2
    NET_FW_IP_PROTOCOL protocol;
    const wchar_t* localPorts;  // null: any port
    NET_FW_RULE_DIRECTION direction;
};

// The names are how an uninstall finds the rules of an earlier install, so
// their text (capitals included) must never change.
const RuleText kRules[] = {
    {L"Linkpad-Incoming Control TCP Rule", L"Allow incoming TCP network traffic to Linkpad", 1,
     NET_FW_IP_PROTOCOL_TCP, L"21", NET_FW_RULE_DIR_IN},
    {L"Linkpad-Incoming Data TCP rule", L"Allow incoming TCP network traffic to Linkpad", 1, NET_FW_IP_PROTOCOL_TCP,
     L"49201,49202", NET_FW_RULE_DIR_IN},
    {L"Linkpad-Outgoing Ctrl TCP rule", L"Allow outgoing TCP network traffic to Linkpad", 2, NET_FW_IP_PROTOCOL_TCP,
     nullptr, NET_FW_RULE_DIR_OUT},
    {L"Linkpad-Outgoing Data TCP rule", L"Allow outgoing TCP network traffic to Linkpad", 2, NET_FW_IP_PROTOCOL_TCP,
     nullptr, NET_FW_RULE_DIR_OUT},
    {L"Linkpad-Incoming UDP port Rule", L"Allow incoming UDP network traffic to Linkpad", 1, NET_FW_IP_PROTOCOL_UDP,
     L"1028", NET_FW_RULE_DIR_IN},
    {L"Linkpad-Outgoing port UDP Rule", L"Allow outgoing UDP network traffic to Linkpad", 1, NET_FW_IP_PROTOCOL_UDP,
     nullptr, NET_FW_RULE_DIR_OUT},
};

UniqueBstr Bstr(const wchar_t* text) { return UniqueBstr(text ? ::SysAllocString(text) : nullptr); }

// A thread whose COM is already initialised in the other model still reaches
// the firewall.
bool ComReady(const ComScope& com) {
    if (SUCCEEDED(com.Result()) || com.Result() == RPC_E_CHANGED_MODE) return true;
    TraceWrite(TraceError, L"CoInitializeEx failed: 0x%08lx\n", com.Result());
    return false;
}

bool FirewallReady(FirewallMain& main) {
    const HRESULT hr = WindowsFirewallInitialize(main);
    if (SUCCEEDED(hr)) return true;
    TraceWrite(TraceError, L"WindowsFirewallInitialize failed: 0x%08lx\n", hr);
    return false;
}
}  // namespace

HRESULT WindowsFirewallInitialize(FirewallMain& main) {
    return ::CoCreateInstance(__uuidof(NetFwPolicy2), nullptr, CLSCTX_INPROC_SERVER, __uuidof(INetFwPolicy2),
                              main.policy.PutVoid());
}

HRESULT AddFirewallRule(FirewallMain& main, BSTR grouping, BSTR name, BSTR description, BSTR application, BSTR ports,
                        NET_FW_IP_PROTOCOL protocol, NET_FW_RULE_DIRECTION direction) {
    if (!grouping || !name || !description || !application) return E_FAIL;
    ComPtr<INetFwRules> rules;
    HRESULT hr = main.policy->get_Rules(rules.Put());
    if (FAILED(hr)) {
        TraceWrite(TraceError, L"get_Rules failed: 0x%08lx\n", hr);
        return hr;
    }
    ComPtr<INetFwRule> rule;
    hr = ::CoCreateInstance(__uuidof(NetFwRule), nullptr, CLSCTX_INPROC_SERVER, __uuidof(INetFwRule), rule.PutVoid());
    if (FAILED(hr)) {
        TraceWrite(TraceError, L"CoCreateInstance for Firewall Rule failed: 0x%08lx\n", hr);
        return hr;
    }
    // Asked for and logged only: the rules apply to every profile anyway.
    long profiles = 0;
    hr = main.policy->get_CurrentProfileTypes(&profiles);
    if (FAILED(hr)) TraceWrite(TraceError, L"get_CurrentProfileTypes failed: 0x%08lx\n", hr);
    rule->put_Name(name);
    rule->put_Description(description);
    rule->put_ApplicationName(application);
    rule->put_Protocol(protocol);
    if (ports) rule->put_LocalPorts(ports);
    rule->put_Direction(direction);
    rule->put_Grouping(grouping);
    rule->put_Profiles(NET_FW_PROFILE2_ALL);
    rule->put_Action(NET_FW_ACTION_ALLOW);
    rule->put_Enabled(VARIANT_TRUE);
    return rules->Add(rule.Get());
}

HRESULT RemoveFirewallRule(FirewallMain& main, BSTR name) {
    UniqueBstr copy(name && name[0] ? ::SysAllocString(name) : nullptr);
    ComPtr<INetFwRules> rules;
    const HRESULT hr = main.policy->get_Rules(rules.Put());
    if (FAILED(hr)) {
        TraceWrite(TraceError, L"get_Rules failed: 0x%08lx\n", hr);
        return hr;
    }
    return rules->Remove(copy.Get());
}

HRESULT FirewallWrapper::AddFirewallRules(BSTR linkpad, BSTR sendToExplorer) {
    if (!linkpad || !sendToExplorer) return E_FAIL;
    const ComScope com(kApartment);
    if (!ComReady(com)) return S_OK;
    FirewallMain main;
    if (!FirewallReady(main)) return S_OK;
    const UniqueBstr grouping = Bstr(kGrouping);
    for (const RuleText& each : kRules) {
        const UniqueBstr name = Bstr(each.name), description = Bstr(each.description), ports = Bstr(each.localPorts);
        const UniqueBstr application = Bstr(each.application == 1 ? linkpad : sendToExplorer);
        const HRESULT hr = AddFirewallRule(main, grouping.Get(), name.Get(), description.Get(), application.Get(),
                                           ports.Get(), each.protocol, each.direction);
        if (FAILED(hr)) {
            // The rules added so far stay; the next uninstall removes them.
            TraceWrite(TraceError, L"AddFirewallRules failed: 0x%08lx\n", hr);
            break;
        }
    }
    return S_OK;
}

HRESULT FirewallWrapper::RemoveFirewallRules() {
    const ComScope com(kApartment);
    if (!ComReady(com)) return S_OK;
    FirewallMain main;
    if (!FirewallReady(main)) return S_OK;
    // A rule that is not there is no reason to keep the others.
    for (const RuleText& each : kRules) {
        const UniqueBstr name = Bstr(each.name);
        RemoveFirewallRule(main, name.Get());
    }
    return S_OK;
}

}  // namespace qel
