#include "web/request.h"

#include <gtest/gtest.h>

namespace tagvane {
namespace {

TEST(Request, RequestLineQueryAndHeaders) {
  Request r;
  r.set_remoteip("127.0.0.9");
  r.ParsePage(
      "GET /Status.htm?a=1&b=x+y HTTP/1.1\r\nHost: here:8017\r\nUser-Agent: Probe/1\r\n"
      "Odd: a: b\r\nNoColon\r\n\r\n");
  r.FlushRequest();
  EXPECT_EQ(r.Method(), "GET");
  EXPECT_EQ(r.page(), "/Status.htm");
  EXPECT_EQ(r.Query(), "?a=1&b=x y");  // the whole path is decoded first
  EXPECT_EQ(r.QueryString("a"), "1");
  EXPECT_EQ(r.QueryString("B"), "x y");
  EXPECT_EQ(r.ServerVariables("HTTP_USER_AGENT"), "Probe/1");
  EXPECT_EQ(r.ServerVariables("http_user_agent"), "Probe/1");
  EXPECT_EQ(r.ServerVariables("REMOTE_ADDR"), "127.0.0.9");
  EXPECT_EQ(r.ServerVariables("host"), "here:8017");
  EXPECT_EQ(r.ServerVariables("Odd"), "");  // two ": " separators: skipped
  EXPECT_EQ(r.ServerVariables("Missing"), "");
  EXPECT_TRUE(r.PostDataComplete());
}

TEST(Request, LineWithoutProtocolSetsOnlyMethodAndGetContent) {
  Request r;
  r.ParsePage("GET /status");
  EXPECT_EQ(r.Method(), "GET");
  EXPECT_EQ(r.page(), "");
  Request none;
  none.ParsePage("nospace");
  EXPECT_EQ(none.Method(), "");
  EXPECT_EQ(Request::GetContent("head\r\n\r\nbody"), "body");
  EXPECT_EQ(Request::GetContent("no empty line\r\n"), "");
}

TEST(Request, PostBodyInFirstPacket) {
  Request r;
  r.ParsePage("POST /stat HTTP/1.0\r\nContent-Length: 7\r\n\r\nx=1&y=2");
  EXPECT_EQ(r.Method(), "POSTx");
  EXPECT_EQ(r.Payload(), "x=1&y=2");
  EXPECT_EQ(r.Form("x"), "1");
  EXPECT_EQ(r.Form("y"), "");  // still pending as the unfinished last pair
  EXPECT_TRUE(r.PostDataComplete());
  r.FlushRequest();
  EXPECT_EQ(r.Form("y"), "2");
}

TEST(Request, PostBodyInLaterPacketsCompletesByContentLength) {
  Request r;
  r.ParsePage("POST /stat HTTP/1.1\r\nContent-Length: 7\r\n\r\n");
  EXPECT_EQ(r.Method(), "POST");
  EXPECT_FALSE(r.PostDataComplete());
  r.AddPostData("x=1&y");
  EXPECT_FALSE(r.PostDataComplete());
  r.AddPostData("=2");
  EXPECT_TRUE(r.PostDataComplete());
  r.FlushRequest();
  EXPECT_EQ(r.Form("x"), "1");
  EXPECT_EQ(r.Form("y"), "2");
  // Two stray bytes carry no pair, but must not leave the server waiting.
  Request stray;
  stray.ParsePage("POST /stat HTTP/1.1\r\nContent-Length: 2\r\n\r\nab");
  EXPECT_EQ(stray.Method(), "POST");
  EXPECT_TRUE(stray.PostDataComplete());
}

TEST(Request, PairsFirstWinsIgnoringCaseAndCutAtSecondEquals) {
  Request r;
  r.ParsePage("POST /stat HTTP/1.1\r\n\r\nName=one&NAME=two&a=b=c&&flag&z=9");
  r.FlushRequest();
  EXPECT_EQ(r.Form("name"), "one");
  EXPECT_EQ(r.Form("a"), "b");
  EXPECT_TRUE(r.FormCol().Contains("flag"));
  EXPECT_EQ(r.Form("flag"), "");
  EXPECT_EQ(r.Form("z"), "9");
  EXPECT_EQ(r.FormCol().size(), 4u);
}

TEST(Request, Decode) {
  EXPECT_EQ(Request::Decode("a%20b"), "a b");
  EXPECT_EQ(Request::Decode("%2f"), " ");  // lower-case digits do not count
  EXPECT_EQ(Request::Decode("%2F"), "/");
  EXPECT_EQ(Request::Decode("x%"), "x ");
  EXPECT_EQ(Request::Decode("a+b"), "a b");
  EXPECT_EQ(Request::Decode("%0A%09"), "  ");  // control codes become blanks
  EXPECT_EQ(Request::Decode("%E9t%E9"), "\xE9t\xE9");
  EXPECT_EQ(Request::Decode("%4"), "@");  // a missing digit counts as 0
  EXPECT_EQ(Request::Decode("100%25"), "100%");
}

TEST(Request, EncodedSeparatorsStayInNamesAndValues) {
  Request r;
  r.ParsePage("GET /s?k=a%26b%3Dc&x%3Dy=1 HTTP/1.1\r\n\r\n");
  r.FlushRequest();
  EXPECT_EQ(r.QueryString("k"), "a&b=c");
  EXPECT_EQ(r.QueryString("x=y"), "1");
  EXPECT_FALSE(r.QueryStringCol().Contains("b"));
  // A body split inside an escape still decodes once it is whole.
  Request post;
  post.ParsePage("POST /s HTTP/1.1\r\nContent-Length: 39\r\n\r\nLocation1=R%26D+lab");
  post.AddPostData("&Tag1=a%3");
  post.AddPostData("Db&Loc2=x");
  post.FlushRequest();
  EXPECT_EQ(post.Form("Location1"), "R&D lab");
  EXPECT_EQ(post.Form("Tag1"), "a=b");
  EXPECT_EQ(post.Form("Loc2"), "x");
}

}  // namespace
}  // namespace tagvane
