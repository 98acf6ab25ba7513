#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "velmor/shell/network_tools.h"

namespace velmor::shell {

// Runs one name resolution of the converter on its own thread, so a resolver that takes seconds
// never stops the window, and hands the answer back on the thread that owns this object.
// One resolution at a time: Start refuses while one is running.
class AddressConverter final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AddressConverter)
public:
    using Resolver = std::function<std::string(std::string_view)>;

    // The name routines of the engine (HostNameToIp, IpToHostName).
    AddressConverter(QObject* parent = nullptr);
    AddressConverter(Resolver host_name_to_ip, Resolver ip_to_host_name, QObject* parent = nullptr);
    ~AddressConverter() override;

    bool IsBusy() const { return busy_; }

    // Starts `plan` (HostNameToIp or IpToHostName of plan.trimmed). False, and nothing started,
    // while another resolution runs or when the plan resolves nothing.
    bool Start(const ConversionPlan& plan);

Q_SIGNALS:
    // The result for converter box `target_box`: the address, the name, or "ERROR".
    void Finished(int target_box, const QString& result);

private:
    struct Link;

    Resolver host_name_to_ip_;
    Resolver ip_to_host_name_;
    std::shared_ptr<Link> link_;
    bool busy_ = false;
};

}  // namespace velmor::shell
