#include "mqtt/subscription.h"

#include <cstring>

#include "base/alloc.h"

namespace bvm {

subscription* subscription_find(subscription* head, const char* filter) noexcept {
  for (subscription* s = head; s != nullptr; s = s->next) {
    if (std::strcmp(s->filter, filter) == 0) return s;
  }
  return nullptr;
}

bool subscription_remove(subscription** head, const char* filter) noexcept {
  for (subscription** link = head; *link != nullptr; link = &(*link)->next) {
    subscription* s = *link;
    if (std::strcmp(s->filter, filter) == 0) {
      *link = s->next;
      destroy(s);
      routing_changed();
      return true;
    }
  }
  return false;
}

void subscription_free_all(subscription** head) noexcept {
  subscription* s = *head;
  *head = nullptr;
  // Also for an empty list: a client record is freed through here, and a
  // list changes hands (session attach and detach) through here.
  routing_changed();
  while (s != nullptr) {
    subscription* next = s->next;
    destroy(s);
    s = next;
  }
}

}  // namespace bvm
