// Structs, arrays and exception objects: presence bytes, class names, sorted object bodies and
// the class checks on reading.
#include <gtest/gtest.h>

#include "messaging/uROClasses.h"
#include "messaging/uROStreamSerializer.h"
#include "platform/rtl/Exceptions.h"
#include "tests/messaging/TestBytes.h"

namespace qorvin {
namespace {

using test::Hex;

// A struct whose properties are declared out of name order.
class TPoint : public TROComplexType {
 public:
  int32_t y = 0;
  std::string name;
  int32_t x = 0;
  bool Flag = false;
  static const TROClassInfo& Info() {
    static const TROClassInfo info = [] {
      TROClassInfo i;
      i.name = "TPoint";
      i.create = [] { return std::make_unique<TPoint>(); };
      i.properties = {StructProperty("y", TypeInfo_Integer(), &TPoint::y),
                      StructProperty("Name", TypeInfo_String(), &TPoint::name),
                      StructProperty("x", TypeInfo_Integer(), &TPoint::x),
                      StructProperty("flag", TypeInfo_Boolean(), &TPoint::Flag)};
      return i;
    }();
    return info;
  }
  const TROClassInfo& ClassInfo() const override { return Info(); }
};

// A descendant adds a property; its body holds the parent's properties too.
class TPoint3 : public TPoint {
 public:
  int32_t xz = 0;
  static const TROClassInfo& Info() {
    static const TROClassInfo info = [] {
      TROClassInfo i;
      i.name = "TPoint3";
      i.parent = &TPoint::Info();
      i.create = [] { return std::make_unique<TPoint3>(); };
      i.properties = {StructProperty("xz", TypeInfo_Integer(), &TPoint3::xz)};
      return i;
    }();
    return info;
  }
  const TROClassInfo& ClassInfo() const override { return Info(); }
};

class TOther : public TROComplexType {
 public:
  static const TROClassInfo& Info() {
    static const TROClassInfo info = [] {
      TROClassInfo i;
      i.name = "TOther";
      i.create = [] { return std::make_unique<TOther>(); };
      return i;
    }();
    return info;
  }
  const TROClassInfo& ClassInfo() const override { return Info(); }
};

// A struct that may hold itself: nesting depth comes from the wire.
class TNode : public TROComplexType {
 public:
  std::unique_ptr<TROComplexType> next;
  static const TTypeInfo& Type();
  static const TROClassInfo& Info() {
    static const TROClassInfo info = [] {
      TROClassInfo i;
      i.name = "TNode";
      i.create = [] { return std::make_unique<TNode>(); };
      i.properties = {StructProperty("next", Type(), &TNode::next)};
      return i;
    }();
    return info;
  }
  const TROClassInfo& ClassInfo() const override { return Info(); }
};

const TTypeInfo& TNode::Type() {
  static const TTypeInfo t = [] {
    TTypeInfo t;
    t.kind = TTypeKind::tkClass;
    t.name = "TNode";
    t.family = TClassFamily::Struct;
    t.className = "TNode";
    return t;
  }();
  return t;
}

class TIntegerArray : public TROArrayOf<int32_t> {
 public:
  static const TROClassInfo& Info() {
    static const TROClassInfo info = [] {
      TROClassInfo i;
      i.name = "TIntegerArray";
      i.family = TClassFamily::Array;
      i.create = [] { return std::make_unique<TIntegerArray>(); };
      return i;
    }();
    return info;
  }
  const TROClassInfo& ClassInfo() const override { return Info(); }
  const TTypeInfo& ElementType() const override { return TypeInfo_Integer(); }
};

// Streams itself instead of its properties.
class TCustom : public TROComplexType, public IROCustomStreamable {
 public:
  std::string text;
  static const TROClassInfo& Info() {
    static const TROClassInfo info = [] {
      TROClassInfo i;
      i.name = "TCustom";
      i.family = TClassFamily::Custom;
      i.create = [] { return std::make_unique<TCustom>(); };
      return i;
    }();
    return info;
  }
  const TROClassInfo& ClassInfo() const override { return Info(); }
  void WriteCustom(TROSerializer& s) const override { s.WriteUTF8String("text", text); }
  void ReadCustom(TROSerializer& s) override { s.ReadUTF8String("text", text, -1, 10); }
};

TTypeInfo ClassType(const char* name, TClassFamily family) {
  TTypeInfo t;
  t.kind = TTypeKind::tkClass;
  t.name = name;
  t.family = family;
  t.className = name;
  return t;
}

// An exception class with published properties, registered for the test's duration.
class EWithProps : public EROException {
 public:
  using EROException::EROException;
  const char* ClassName() const override { return "EWithProps"; }
  int32_t Code = 0;
  std::string Where;
};

class ObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterROClass(TPoint::Info());
    RegisterROClass(TPoint3::Info());
    RegisterROClass(TOther::Info());
    RegisterROClass(TNode::Info());
    RegisterROClass(TIntegerArray::Info());
    RegisterROClass(TCustom::Info());
  }
  void TearDown() override {
    for (const char* n : {"TPoint", "TPoint3", "TOther", "TNode", "TIntegerArray", "TCustom"})
      UnregisterROClass(n);
  }
  std::string Bytes() { return test::Bytes(stream); }

  TMemoryStream stream;
  TROStreamSerializer serializer{&stream};
  const TTypeInfo pointType = ClassType("TPoint", TClassFamily::Struct);
  const TTypeInfo arrayType = ClassType("TIntegerArray", TClassFamily::Array);
};

TEST(PropertyOrder, LettersWithoutCasePrefixFirst) {
  EXPECT_LT(ComparePropertyNames("abc", "ABD"), 0);
  EXPECT_EQ(ComparePropertyNames("Name", "NAME"), 0);
  EXPECT_LT(ComparePropertyNames("x", "xz"), 0);
  EXPECT_GT(ComparePropertyNames("y", "X"), 0);
  // Bit 32 is cleared in every byte, so '_' (0x5F) sorts after letters (0x41-0x5A).
  EXPECT_GT(ComparePropertyNames("_a", "Za"), 0);
}

TEST_F(ObjectTest, StructBodyIsSortedByName) {
  std::unique_ptr<TROComplexType> p = std::make_unique<TPoint>();
  auto& pt = static_cast<TPoint&>(*p);
  pt.x = 1;
  pt.y = 2;
  pt.name = "n";
  pt.Flag = true;
  serializer.WriteValue("p", pointType, &p);
  // 01, "TPoint", then flag, Name, x, y.
  EXPECT_EQ(Bytes(), Hex("01 06 00 00 00") + "TPoint" +
                         Hex("01 00 00 00  01 00 00 00 6E  01 00 00 00  02 00 00 00"));
  std::unique_ptr<TROComplexType> back;
  stream.SetPosition(0);
  serializer.ReadValue("p", pointType, &back);
  auto* q = dynamic_cast<TPoint*>(back.get());
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(q->x, 1);
  EXPECT_EQ(q->y, 2);
  EXPECT_EQ(q->name, "n");
  EXPECT_TRUE(q->Flag);
}

TEST_F(ObjectTest, NilStructAndDescendants) {
  std::unique_ptr<TROComplexType> nil;
  serializer.WriteValue("p", pointType, &nil);
  EXPECT_EQ(Bytes(), Hex("00"));
  std::unique_ptr<TROComplexType> back = std::make_unique<TOther>();
  stream.SetPosition(0);
  serializer.ReadValue("p", pointType, &back);
  EXPECT_EQ(back, nullptr);

  // A descendant travels under its own name and with the parent's properties, sorted together.
  stream.SetSize(0);
  std::unique_ptr<TROComplexType> p3 = std::make_unique<TPoint3>();
  static_cast<TPoint3&>(*p3).xz = 9;
  serializer.WriteValue("p", pointType, &p3);
  EXPECT_EQ(Bytes(), Hex("01 07 00 00 00") + "TPoint3" +
                         Hex("00 00 00 00  00 00 00 00  00 00 00 00  09 00 00 00  00 00 00 00"));
  stream.SetPosition(0);
  serializer.ReadValue("p", pointType, &back);
  ASSERT_NE(dynamic_cast<TPoint3*>(back.get()), nullptr);
  EXPECT_EQ(static_cast<TPoint3&>(*back).xz, 9);
}

TEST_F(ObjectTest, StructClassChecks) {
  std::unique_ptr<TROComplexType> back;
  test::Load(stream, Hex("01 05 00 00 00") + "TNone");
  try {
    serializer.ReadValue("p", pointType, &back);
    ADD_FAILURE();
  } catch (const EROException& e) {
    EXPECT_STREQ(e.what(), "Unknown class \"TNone\" found in stream.");
  }
  test::Load(stream, Hex("01 06 00 00 00") + "TOther");
  try {
    serializer.ReadValue("p", pointType, &back);
    ADD_FAILURE();
  } catch (const EROException& e) {
    EXPECT_STREQ(e.what(),
                 "Unexpected class found in stream; class \"TOther\" does not descend from "
                 "\"TPoint\".");
  }
  // Class names are limited to 256 bytes.
  test::Load(stream, Hex("01 01 01 00 00") + std::string(257, 'A'));
  try {
    serializer.ReadValue("p", pointType, &back);
    ADD_FAILURE();
  } catch (const EROException& e) {
    EXPECT_STREQ(e.what(), "Stream read error: Invalid string length \"257\"");
  }
  // A body cut short.
  test::Load(stream, Hex("01 06 00 00 00") + "TPoint" + Hex("01 00 00"));
  EXPECT_THROW(serializer.ReadValue("p", pointType, &back), EReadError);
  EXPECT_EQ(back, nullptr);
}

TEST_F(ObjectTest, NestingFromTheWireIsBounded) {
  std::string bytes;
  for (int i = 0; i < kMaxObjectNesting + 5; ++i) bytes += Hex("01 05 00 00 00") + "TNode";
  bytes += Hex("00");
  test::Load(stream, bytes);
  std::unique_ptr<TROComplexType> back;
  EXPECT_THROW(serializer.ReadValue("n", TNode::Type(), &back), EROException);
  // Three levels read back.
  test::Load(stream, Hex("01 05 00 00 00") + "TNode" + Hex("01 05 00 00 00") + "TNode" + Hex("00"));
  serializer.ReadValue("n", TNode::Type(), &back);
  ASSERT_NE(back, nullptr);
  auto* second = dynamic_cast<TNode*>(static_cast<TNode&>(*back).next.get());
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->next, nullptr);
}

TEST_F(ObjectTest, Arrays) {
  auto a = std::make_unique<TIntegerArray>();
  a->items = {1, -1};
  std::unique_ptr<TROArray> value = std::move(a);
  serializer.WriteValue("a", arrayType, &value);
  EXPECT_EQ(Bytes(), Hex("01 02 00 00 00 01 00 00 00 FF FF FF FF"));
  std::unique_ptr<TROArray> back;
  stream.SetPosition(0);
  serializer.ReadValue("a", arrayType, &back);  // created from the expected class
  ASSERT_NE(dynamic_cast<TIntegerArray*>(back.get()), nullptr);
  EXPECT_EQ(static_cast<TIntegerArray&>(*back).items, (std::vector<int32_t>{1, -1}));

  std::unique_ptr<TROArray> nil;
  stream.SetSize(0);
  serializer.WriteValue("a", arrayType, &nil);
  EXPECT_EQ(Bytes(), Hex("00"));

  for (const char* hex : {"01 FF FF FF 7F", "01 FF FF FF FF"}) {
    test::Load(stream, Hex(hex));
    std::unique_ptr<TROArray> bad;
    EXPECT_THROW(serializer.ReadValue("a", arrayType, &bad), EROException) << hex;
  }
  test::Load(stream, Hex("01 05 00 00 00 01 00 00 00"));
  EXPECT_THROW(serializer.ReadValue("a", arrayType, &back), EReadError);
  test::Load(stream, Hex("01 FF FF FF 7F"));
  try {
    serializer.ReadValue("a", arrayType, &back);
    ADD_FAILURE();
  } catch (const EROException& e) {
    EXPECT_STREQ(e.what(), "Stream read error: Invalid string length \"2147483647\"");
  }
  test::Load(stream, Hex("01 00 00 00 00"));
  std::unique_ptr<TROArray> unknown;
  EXPECT_THROW(serializer.ReadValue("a", ClassType("TNoArray", TClassFamily::Array), &unknown),
               EROException);
}

TEST_F(ObjectTest, CustomStreamingPath) {
  auto c = std::make_unique<TCustom>();
  c->text = "hi";
  std::unique_ptr<TROComplexType> value = std::move(c);
  const TTypeInfo type = ClassType("TCustom", TClassFamily::Custom);
  serializer.WriteValue("c", type, &value);
  EXPECT_EQ(Bytes(), Hex("01 07 00 00 00") + "TCustom" + Hex("02 00 00 00") + "hi");
  std::unique_ptr<TROComplexType> back;
  stream.SetPosition(0);
  serializer.ReadValue("c", type, &back);
  ASSERT_NE(dynamic_cast<TCustom*>(back.get()), nullptr);
  EXPECT_EQ(static_cast<TCustom&>(*back).text, "hi");
}

TEST_F(ObjectTest, ExceptionObjectBodies) {
  RegisterExceptionClass(MakeExceptionClass<EWithProps>(
      "EWithProps", {ExceptionProperty("Where", TypeInfo_String(), &EWithProps::Where),
                     ExceptionProperty("Code", TypeInfo_Integer(), &EWithProps::Code)}));
  const TTypeInfo type = ClassType("EWithProps", TClassFamily::Exception);
  std::unique_ptr<EROException> e = std::make_unique<EWithProps>("text");
  static_cast<EWithProps&>(*e).Code = 3;
  static_cast<EWithProps&>(*e).Where = "db";
  serializer.WriteValue("e", type, &e);
  EXPECT_EQ(Bytes(), Hex("03 00 00 00 02 00 00 00 64 62"));  // Code, then Where
  std::unique_ptr<EROException> back = std::make_unique<EWithProps>("other");
  stream.SetPosition(0);
  serializer.ReadValue("e", type, &back);
  EXPECT_EQ(static_cast<EWithProps&>(*back).Code, 3);
  EXPECT_EQ(static_cast<EWithProps&>(*back).Where, "db");
  UnregisterExceptionClass("EWithProps");

  // Classes without properties, and absent objects, have empty bodies.
  stream.SetSize(0);
  std::unique_ptr<EROException> plain = std::make_unique<EROSessionNotFound>("x");
  serializer.WriteValue("e", type, &plain);
  std::unique_ptr<EROException> none;
  serializer.WriteValue("e", type, &none);
  EXPECT_EQ(stream.Size(), 0);
}

}  // namespace
}  // namespace qorvin
