// Model types that break a rule of the model interface. Each QUARNEL_CASE must fail to
// compile with the message its CTest entry expects (libs/core/tests/CMakeLists.txt).
#include <quarnel/Model.h>

#if QUARNEL_CASE == 1  // no handler
class Mute : public quarnel::Agent<Mute> {};
void Make() {
  quarnel::Create<Mute>();
}
#elif QUARNEL_CASE == 2  // derives from another type's base
class Other : public quarnel::Agent<Other> {
 public:
  void Act(quarnel::Next&) {}
};
class Stray : public quarnel::Agent<Other> {
 public:
  void Act(quarnel::Next&) {}
};
void Make() {
  quarnel::Create<Stray>();
}
#elif QUARNEL_CASE == 3  // wrong constructor arguments
class Aged : public quarnel::Agent<Aged> {
 public:
  explicit Aged(int age) : _age(age) {}
  void Act(quarnel::Next&) {}
  int _age;
};
void Make() {
  quarnel::Create<Aged>("old");
}
#elif QUARNEL_CASE == 4  // handler with the old signature
class Old : public quarnel::Event<Old> {
 public:
  static void Act(void*, quarnel::Event_Response&) {}
};
void Make() {
  quarnel::Create<Old>();
}
#elif QUARNEL_CASE == 5  // a negative iteration where it is known at compile time
constexpr quarnel::Revision kStart(-1, 0);
#endif
