// Listing and reading the objects of the S3 datasets through boto3.
//
// The S3 client is created per call with boto3's default configuration, so
// credentials, region and endpoint come from the usual places (environment
// variables such as AWS_ENDPOINT_URL, ~/.aws, instance roles).
#include <pybind11/pybind11.h>

#include <string>

#include "../../glue/checks.hpp"
#include "../../glue/function.hpp"
#include "../../glue/module_setup.hpp"
#include "../../glue/pyops.hpp"
#include "../../glue/text.hpp"

namespace py = pybind11;
namespace glue = orvane::glue;

namespace {

constexpr const char* module_doc =
    "Listing and reading S3 objects.\n"
    "\n"
    "Both operations use boto3's default S3 client: credentials, region and\n"
    "endpoint come from boto3's usual configuration (for example the\n"
    "environment variables AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY,\n"
    "AWS_DEFAULT_REGION and AWS_ENDPOINT_URL).\n";

constexpr const char* list_doc =
    "List every object key of a dataset folder.\n"
    "\n"
    "The folder is ``prefix + \"/\" + folder_path + \"/\"`` (just\n"
    "``folder_path + \"/\"`` when ``prefix`` is empty); extra slashes at the\n"
    "joints are ignored. The listing is paginated, so folders of more than\n"
    "1,000 objects come back whole, in S3's listing order (by key). Each entry\n"
    "is the full key within ``bucket``. An existing folder without objects\n"
    "gives an empty list; a bucket that does not exist raises\n"
    "FileNotFoundError.\n";

constexpr const char* read_doc =
    "Read one S3 object into a DataFrame.\n"
    "\n"
    "The key is ``prefix + \"/\" + file_path`` (just ``file_path`` when\n"
    "``prefix`` is empty). ``data_format`` is \"csv.gz\" (gzip-compressed CSV),\n"
    "\"csv\" or \"parquet\". CSV objects are streamed from S3; with\n"
    "``by_chunks`` they are parsed ``chunksize`` rows at a time and the chunks\n"
    "are joined once at the end, numbered 0 to n - 1 (a column whose chunks\n"
    "were parsed to different types is re-inferred as a whole). The header\n"
    "row gives the column names; pandas checks ``chunksize`` (None reads the\n"
    "object in one piece). Parquet objects are read whole.\n"
    "\n"
    "A missing object or bucket raises FileNotFoundError naming the\n"
    "s3:// location; an unknown ``data_format`` raises ValueError.\n";

std::string join_key(const std::string& prefix, const std::string& path) {
  auto strip_right = [](std::string s) {
    while (!s.empty() && s.back() == '/') s.pop_back();
    return s;
  };
  auto strip_left = [](std::string s) {
    std::size_t i = 0;
    while (i < s.size() && s[i] == '/') ++i;
    return s.substr(i);
  };
  const std::string head = strip_right(prefix);
  const std::string tail = strip_left(path);
  if (head.empty()) return tail;
  if (tail.empty()) return head;
  return head + "/" + tail;
}

py::object s3_client(const glue::Call& c) { return c.global("boto3").attr("client")("s3"); }

// S3's answer for a missing key or bucket becomes FileNotFoundError naming
// the location; every other error propagates as boto3 raised it.
[[noreturn]] void rethrow_not_found(py::error_already_set& e, const std::string& bucket,
                                    const std::string& key) {
  py::object client_error = py::module_::import("botocore.exceptions").attr("ClientError");
  if (!e.matches(client_error)) throw;
  const std::string code = py::str(e.value().attr("response")["Error"].attr("get")("Code", ""));
  const std::string where = "s3://" + bucket + "/" + key;
  if (code == "NoSuchBucket") {
    py::raise_from(e, PyExc_FileNotFoundError,
                   (where + " not found: bucket '" + bucket + "' does not exist").c_str());
    throw py::error_already_set();
  }
  if (code == "NoSuchKey" || code == "404" || code == "NotFound") {
    py::raise_from(e, PyExc_FileNotFoundError, (where + " not found").c_str());
    throw py::error_already_set();
  }
  throw;
}

constexpr glue::Signature list_s3_objects_sig{
    "list_s3_objects(folder_path: str, bucket: str, prefix: str = '') -> List[str]"};
py::object list_s3_objects(glue::CallOf<list_s3_objects_sig>& c) {
  glue::check_str(c.arg<"folder_path">(), "folder_path");
  glue::check_str(c.arg<"bucket">(), "bucket");
  glue::check_str(c.arg<"prefix">(), "prefix");
  const std::string bucket = glue::utf8(c.arg<"bucket">());
  std::string folder = join_key(glue::utf8(c.arg<"prefix">()), glue::utf8(c.arg<"folder_path">()));
  while (!folder.empty() && folder.back() == '/') folder.pop_back();
  folder += "/";

  py::list keys;
  try {
    py::object paginator = s3_client(c).attr("get_paginator")("list_objects_v2");
    py::object pages =
        paginator.attr("paginate")(py::arg("Bucket") = bucket, py::arg("Prefix") = folder);
    for (py::handle page : pages) {
      py::object contents = page.attr("get")("Contents");
      if (contents.is_none()) continue;
      for (py::handle entry : contents) keys.append(entry["Key"]);
    }
  } catch (py::error_already_set& e) {
    rethrow_not_found(e, bucket, folder);
  }
  return keys;
}

// Joins the parsed chunks in one concatenation. A column that one chunk
// parsed as numbers (say, all missing) and another as text would come out
// as mixed objects; it gets the type the whole column implies instead.
py::object join_chunks(const glue::Call& c, const py::list& chunks) {
  py::object pd = c.global("pd");
  if (chunks.size() == 1) return chunks[0];
  py::object frame = pd.attr("concat")(chunks, py::arg("ignore_index") = true);
  py::object object_dtype = py::module_::import("numpy").attr("dtype")("O");
  auto is_object = [&](py::handle series) {
    return py::object(series.attr("dtype")).equal(object_dtype);
  };
  for (py::handle column : frame.attr("columns")) {
    py::object series = frame[column];
    if (!is_object(series)) continue;
    bool mixed = false;
    for (py::handle chunk : chunks) {
      if (!is_object(chunk[column])) {
        mixed = true;
        break;
      }
    }
    if (mixed) frame[column] = series.attr("infer_objects")();
  }
  return frame;
}

constexpr glue::Signature read_from_s3_sig{
    "read_from_s3(file_path: str, data_format: str, bucket: str, prefix: str = '', "
    "by_chunks: bool = False, chunksize: int = 100000) -> pd.DataFrame"};
py::object read_from_s3(glue::CallOf<read_from_s3_sig>& c) {
  glue::check_str(c.arg<"file_path">(), "file_path");
  glue::check_str(c.arg<"data_format">(), "data_format");
  glue::check_str(c.arg<"bucket">(), "bucket");
  glue::check_str(c.arg<"prefix">(), "prefix");
  const bool by_chunks = glue::truthy(c.arg<"by_chunks">());
  py::object chunksize = glue::int_argument(c.arg<"chunksize">(), "chunksize");
  const std::string data_format = glue::utf8(c.arg<"data_format">());
  const std::string bucket = glue::utf8(c.arg<"bucket">());
  const std::string key = join_key(glue::utf8(c.arg<"prefix">()), glue::utf8(c.arg<"file_path">()));

  const bool gzip = data_format == "csv.gz";
  if (!gzip && data_format != "csv" && data_format != "parquet") {
    glue::raise(PyExc_ValueError, "data_format='" + data_format +
                                      "' is not supported: use 'csv.gz', 'csv' or 'parquet'");
  }

  py::object body;
  try {
    body =
        s3_client(c).attr("get_object")(py::arg("Bucket") = bucket, py::arg("Key") = key)["Body"];
  } catch (py::error_already_set& e) {
    rethrow_not_found(e, bucket, key);
  }

  py::object pd = c.global("pd");
  if (data_format == "parquet") {
    py::object buffer = c.global("io").attr("BytesIO")(body.attr("read")());
    return pd.attr("read_parquet")(buffer);
  }
  py::object compression = gzip ? py::object(py::str("gzip")) : py::object(py::none());
  if (!by_chunks || chunksize.is_none())
    return pd.attr("read_csv")(body, py::arg("compression") = compression);
  py::object reader = pd.attr("read_csv")(body, py::arg("compression") = compression,
                                          py::arg("chunksize") = chunksize);
  py::list chunks;
  for (py::handle chunk : reader) chunks.append(chunk);
  reader.attr("close")();
  return join_chunks(c, chunks);
}

}  // namespace

PYBIND11_MODULE(s3_io, m) {
  m.doc() = module_doc;
  glue::import_as(m, "io");
  glue::import_as(m, "pandas", "pd");
  glue::import_from(m, "typing", "List");
  // Without boto3 the module still imports (the datasets module imports it
  // unconditionally); the operations then fail with NameError for boto3.
  glue::guarded(glue::Guard::module_not_found, false, "", [&] { glue::import_as(m, "boto3"); });

  glue::def<list_s3_objects_sig>(m, list_doc, list_s3_objects);
  glue::def<read_from_s3_sig>(m, read_doc, read_from_s3);
}
