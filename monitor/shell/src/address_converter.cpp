#include "velmor/shell/address_converter.h"

#include <QMetaObject>
#include <mutex>
#include <thread>
#include <utility>

#include "velmor/engine/host_names.h"

namespace velmor::shell {

// Shared by the converter and its worker threads: a worker posts its answer only while the
// converter is alive, and the converter's destructor cannot finish while a post is under way.
struct AddressConverter::Link {
    std::mutex mutex;
    AddressConverter* owner = nullptr;
};

AddressConverter::AddressConverter(QObject* parent)
    : AddressConverter([](std::string_view name) { return engine::HostNameToIp(name); },
                       [](std::string_view address) { return engine::IpToHostName(address); }, parent) {}

AddressConverter::AddressConverter(Resolver host_name_to_ip, Resolver ip_to_host_name, QObject* parent)
    : QObject(parent),
      host_name_to_ip_(std::move(host_name_to_ip)),
      ip_to_host_name_(std::move(ip_to_host_name)),
      link_(std::make_shared<Link>()) {
    link_->owner = this;
}

AddressConverter::~AddressConverter() {
    // A worker still inside the resolver finishes on its own and drops its answer.
    std::lock_guard lock(link_->mutex);
    link_->owner = nullptr;
}

bool AddressConverter::Start(const ConversionPlan& plan) {
    if (busy_) return false;
    Resolver resolver;
    if (plan.conversion == Conversion::HostNameToIp) {
        resolver = host_name_to_ip_;
    } else if (plan.conversion == Conversion::IpToHostName) {
        resolver = ip_to_host_name_;
    }
    if (!resolver) return false;
    busy_ = true;
    std::thread worker(
        [link = link_, resolver = std::move(resolver), text = plan.trimmed, box = plan.target_box] {
            const std::string answer = resolver(text);
            std::lock_guard lock(link->mutex);
            if (link->owner == nullptr) return;
            // Posted, not called: the owner's thread delivers it, and Qt drops it if the owner is
            // deleted before then.
            QMetaObject::invokeMethod(
                link->owner,
                [owner = link->owner, box, result = QString::fromStdString(answer)] {
                    owner->busy_ = false;
                    Q_EMIT owner->Finished(box, result);
                },
                Qt::QueuedConnection);
        });
    worker.detach();
    return true;
}

}  // namespace velmor::shell
