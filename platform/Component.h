// Owned components: a component created with an owner is released by that
// owner when the owner is released, unless it was released first (it then
// leaves its owner's list). Components given an owner must be created with
// `new`; without an owner the creator releases the component (for example
// as a local object or through std::unique_ptr). Single-threaded.
#pragma once

#include <vector>

namespace velmora {

class TComponent {
 public:
  // Joins `AOwner`'s list of components when it is not null.
  explicit TComponent(TComponent* AOwner = nullptr);
  // Releases the owned components, the last one joined first, then leaves
  // the owner's list. Never raises.
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const noexcept { return owner_; }
  // The components this one owns, in joining order.
  const std::vector<TComponent*>& Components() const noexcept { return components_; }

 private:
  TComponent* owner_;
  std::vector<TComponent*> components_;
};

}  // namespace velmora
