#include "pagehost/Socket/QueueSocketDelegate.h"

// The bodies below are never called for an operation that is not offered;
// they exist so that a delegate overrides only what it offers.

std::shared_ptr<dispatch::SerialQueue>
QueueSocketDelegate::newSocketQueueForConnectionFromAddress(
    const sockaddr_storage&, const std::shared_ptr<QueueSocket>&) {
  return nullptr;
}

void QueueSocketDelegate::socketDidAcceptNewSocket(
    const std::shared_ptr<QueueSocket>&, std::shared_ptr<QueueSocket>) {}

void QueueSocketDelegate::socketDidDisconnect(
    const std::shared_ptr<QueueSocket>&, const std::optional<ErrorValue>&) {}

void QueueSocketDelegate::socketDidReadData(const std::shared_ptr<QueueSocket>&,
                                            Bytes, int64_t) {}

void QueueSocketDelegate::socketDidReadPartialDataOfLength(
    const std::shared_ptr<QueueSocket>&, uint64_t, int64_t) {}

double QueueSocketDelegate::socketShouldTimeoutReadWithTag(
    const std::shared_ptr<QueueSocket>&, int64_t, double, uint64_t) {
  return 0;
}

void QueueSocketDelegate::socketDidCloseReadStream(
    const std::shared_ptr<QueueSocket>&) {}

void QueueSocketDelegate::socketDidWriteDataWithTag(
    const std::shared_ptr<QueueSocket>&, int64_t) {}

void QueueSocketDelegate::socketDidWritePartialDataOfLength(
    const std::shared_ptr<QueueSocket>&, uint64_t, int64_t) {}

double QueueSocketDelegate::socketShouldTimeoutWriteWithTag(
    const std::shared_ptr<QueueSocket>&, int64_t, double, uint64_t) {
  return 0;
}
