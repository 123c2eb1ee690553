#include "platform/Component.h"

#include <algorithm>

namespace velmora {

TComponent::TComponent(TComponent* AOwner) : owner_(AOwner) {
  if (owner_) owner_->components_.push_back(this);
}

TComponent::~TComponent() {
  // Each owned component removes itself from components_ as it goes.
  while (!components_.empty()) delete components_.back();
  if (owner_) {
    auto& list = owner_->components_;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
}

}  // namespace velmora
