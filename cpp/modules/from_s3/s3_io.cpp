// Listing and reading the objects of the S3 datasets through boto3.
//
// The S3 client is created per call with boto3's default configuration, so
// credentials, region and endpoint come from the usual places (environment
// variables such as AWS_ENDPOINT_URL, ~/.aws, instance roles).
#include <pybind11/pybind11.h>

#include <optional>
#include <string>

#include "../../glue/frame_columns.hpp"
#include "../../glue/function.hpp"
#include "../../glue/module_names.hpp"
#include "../../glue/module_setup.hpp"
#include "../../glue/pyops.hpp"
#include "../../glue/text.hpp"

namespace {

constexpr const char* list_doc =
    R"doc(List every object key of a dataset folder.

The folder is ``prefix + "/" + folder_path + "/"`` (just
``folder_path + "/"`` when ``prefix`` is empty); extra slashes at the
joints are ignored. The listing is paginated, so folders of more than
1,000 objects come back whole.

Parameters
----------
folder_path : str
    The folder, below ``prefix``.
bucket : str
    The bucket's name.
prefix : str, default ""
    The folders above ``folder_path``.

Returns
-------
list of str
    The full key of each object within ``bucket``, in S3's listing order
    (by key); an empty list for an existing folder without objects.

Raises
------
TypeError
    If an argument is not a ``str``.
FileNotFoundError
    If the bucket does not exist.

Examples
--------
>>> from orvane_data.from_s3 import s3_io
>>> s3_io.list_s3_objects("closes", "orvane-demo")
['closes/20240105.csv.gz', 'closes/20240112.parquet']
>>> s3_io.list_s3_objects("supplyChainHistoryV2", "orvane-demo", prefix="alt_data/supply_chain/dl/datasets")
['alt_data/supply_chain/dl/datasets/supplyChainHistoryV2/snapshots/20240105/distributions/...])doc";

constexpr const char* read_doc =
    R"doc(Read one S3 object into a DataFrame.

The key is ``prefix + "/" + file_path`` (just ``file_path`` when ``prefix``
is empty). CSV objects are streamed from S3, their header row giving the
column names; Parquet objects are read whole.

Parameters
----------
file_path : str
    The object's key, below ``prefix``.
data_format : str
    ``"csv.gz"`` (gzip-compressed CSV), ``"csv"`` or ``"parquet"``.
bucket : str
    The bucket's name.
prefix : str, default ""
    The folders above ``file_path``.
by_chunks : bool, default False
    Parse a CSV object ``chunksize`` rows at a time and join the chunks
    once at the end, numbered 0 to n - 1 (a column whose chunks were parsed
    to different types is re-inferred as a whole).
chunksize : int, default 100000
    Rows per chunk, checked by pandas; None reads the object in one piece.

Returns
-------
pd.DataFrame
    The object's rows.

Raises
------
TypeError
    If ``file_path``, ``data_format``, ``bucket`` or ``prefix`` is not a
    ``str``.
ValueError
    If ``data_format`` is not one of the three formats.
FileNotFoundError
    If the object or its bucket does not exist; the message names the
    s3:// location.

Examples
--------
>>> from orvane_data.from_s3 import s3_io
>>> s3_io.read_from_s3("closes/20240105.csv.gz", "csv.gz", "orvane-demo")
       ticker   close
0  SX5E Index  4463.5
1  JPY Curncy   144.6
>>> s3_io.read_from_s3("20240112.parquet", "parquet", "orvane-demo", prefix="closes")["close"].tolist()
[4480.0, 145.2]
>>> s3_io.read_from_s3("closes/20240119.csv.gz", "csv.gz", "orvane-demo")
Traceback (most recent call last):
FileNotFoundError: s3://orvane-demo/closes/20240119.csv.gz not found)doc";

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

py::object s3_client(const glue::Call& c) { return c.global<"boto3">().attr("client")("s3"); }

// botocore's ClientError, or none where the S3 stack is not installed (the
// error then is the missing boto3 itself, which names the s3 extra).
std::optional<py::object> client_error_type() {
  try {
    return py::module_::import("botocore.exceptions").attr("ClientError");
  } catch (py::error_already_set&) {
    return std::nullopt;
  }
}

// S3's answer for a missing key or bucket becomes FileNotFoundError naming
// the location; every other error propagates as boto3 raised it, with a note
// naming the location.
[[noreturn]] void rethrow_not_found(py::error_already_set& e, const std::string& bucket,
                                    const std::string& key) {
  const std::string where = "s3://" + bucket + "/" + key;
  const std::optional<py::object> client_error = client_error_type();
  if (!client_error || !e.matches(*client_error)) {
    glue::add_note(e, "while reading " + where);
    throw;
  }
  const std::string code = py::str(e.value().attr("response")["Error"].attr("get")("Code", ""));
  if (code == "NoSuchBucket") {
    py::raise_from(e, PyExc_FileNotFoundError,
                   (where + " not found: bucket '" + bucket + "' does not exist").c_str());
    throw py::error_already_set();
  }
  if (code == "NoSuchKey" || code == "404" || code == "NotFound") {
    py::raise_from(e, PyExc_FileNotFoundError, (where + " not found").c_str());
    throw py::error_already_set();
  }
  glue::add_note(e, "while reading " + where);
  throw;
}

constexpr glue::Signature list_s3_objects_sig{
    "list_s3_objects(folder_path: str, bucket: str, prefix: str = '') -> List[str]"};
py::object list_s3_objects(glue::CallOf<list_s3_objects_sig>& c) {
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
  py::object pd = c.global<"pd">();
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
    if (mixed) glue::set_column(frame, column, series.attr("infer_objects")());
  }
  return frame;
}

constexpr glue::Signature read_from_s3_sig{
    "read_from_s3(file_path: str, data_format: str, bucket: str, prefix: str = '', "
    "by_chunks: bool = False, chunksize: int = 100000) -> pd.DataFrame"};
py::object read_from_s3(glue::CallOf<read_from_s3_sig>& c) {
  const bool by_chunks = c.arg<"by_chunks">().cast<bool>();
  const py::object& chunksize = c.arg<"chunksize">();
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

  py::object pd = c.global<"pd">();
  if (data_format == "parquet") {
    py::object buffer = c.global<"io">().attr("BytesIO")(body.attr("read")());
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
  m.doc() =
      "Listing and reading S3 objects.\n"
      "\n"
      "Both operations use boto3's default S3 client: credentials, region and\n"
      "endpoint come from boto3's usual configuration (for example the\n"
      "environment variables AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY,\n"
      "AWS_DEFAULT_REGION and AWS_ENDPOINT_URL).\n";
  glue::import_as(m, "io");
  glue::import_as(m, "pandas", "pd");
  glue::import_from(m, "typing", "List");
  // Without boto3 the module still imports (the datasets module imports it
  // unconditionally); the operations then fail with NameError for boto3,
  // noting the extra that brings it. It is imported on first use: it takes
  // longer to import than the rest of the package.
  glue::guarded(glue::Guard::module_not_found, false, "",
                [&] { glue::lazy_import(m, "boto3", "boto3"); });
  glue::from_extra(m, "boto3", "s3");

  glue::def<list_s3_objects_sig>(m, list_doc, list_s3_objects, checked);
  glue::def<read_from_s3_sig>(m, read_doc, read_from_s3, checked);
}
