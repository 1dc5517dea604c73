// The facade's frame: back end choice, fixed results, cancel flag, errors.
#include "client/Brevanto.h"

#include <gtest/gtest.h>

#include <list>

#include "tests/fake_service.h"

namespace {

TEST(FacadeLocalService, LogsInAndOutThroughTheService) {
  FakeService service;
  service.then({"<ACK Result=\"success\" ClientID=\"id-1\"/>"});
  service.then({"<ACK Result=\"failed\" errcode=\"7\" errtext=\"quota\"/>"});
  CBrevanto client(INTERFACE_LOCAL_SERVICE);
  EXPECT_EQ(client.error_code(), 0);
  EXPECT_STREQ(client.error_msg(), L"");
  EXPECT_EQ(client.login(L"u", L"p", L"proj", L"1"), 0);
  EXPECT_EQ(client.logout(), 0);  // logout does not judge Result
  EXPECT_EQ(service.requests().back(), "<logout ClientID=\"id-1\"/>");
  EXPECT_EQ(client.error_code(), 0);
}

TEST(FacadeLocalService, FixedResultsLeaveOutputsAndErrorStateAlone) {
  CBrevanto client(INTERFACE_LOCAL_SERVICE);
  std::int64_t used = 11, free_bytes = 22;
  EXPECT_EQ(client.get_spaceinfo(used, free_bytes, 3), 0);
  EXPECT_EQ(used, 11);
  EXPECT_EQ(free_bytes, 22);
  EXPECT_EQ(client.update_plan(), 0);
  EXPECT_EQ(client.get_creditcard_state(), 0);
  client.cancel_op();
  EXPECT_EQ(client.error_code(), 0);  // the service's error, not the flag
}

TEST(FacadeOtherTypes, ErrorCodeIsTheCancelFlagAndErrorMsgIsEmpty) {
  for (int type : {1, 5}) {
    CBrevanto client(static_cast<OnlineInterfaceType>(type));
    EXPECT_EQ(client.error_code(), 0);
    client.cancel_op();
    EXPECT_EQ(client.error_code(), 1);
    EXPECT_STREQ(client.error_msg(), L"");
  }
}

TEST(FacadeFileList, ReleaseFreesEveryEntrySkipsNullsAndEmptiesTheList) {
  CBrevanto client(static_cast<OnlineInterfaceType>(5));
  std::list<_path_buffer*> list;
  list.push_back(new _path_buffer{0, L"\\a"});
  list.push_back(nullptr);
  list.push_back(new _path_buffer{1, L"\\b\\"});
  client.releasefilelist(list);  // leak checkers would see a missed entry
  EXPECT_TRUE(list.empty());
}

}  // namespace
