"""A local S3 endpoint for tests and benchmarks: moto's standalone server in a
child process on 127.0.0.1, reached by boto3, s3fs and pyarrow through
AWS_ENDPOINT_URL with dummy credentials. Tests import the ``s3_endpoint``
fixture; scripts use ``S3Server`` as a context manager."""

import contextlib
import gzip
import io
import os
import socket
import subprocess
import sys
import time
import urllib.request

import pytest


class S3Server:
    def __init__(self):
        with socket.socket() as sock:
            sock.bind(("127.0.0.1", 0))
            self.port = sock.getsockname()[1]
        self.url = f"http://127.0.0.1:{self.port}"
        self.env = {
            "AWS_ENDPOINT_URL": self.url, "AWS_ACCESS_KEY_ID": "testing", "AWS_SECRET_ACCESS_KEY": "testing",
            "AWS_DEFAULT_REGION": "us-east-1", "AWS_REGION": "us-east-1",
            # never ~/.aws or instance metadata
            "AWS_CONFIG_FILE": os.devnull, "AWS_SHARED_CREDENTIALS_FILE": os.devnull, "AWS_EC2_METADATA_DISABLED": "true",
        }

    def __enter__(self):
        self._process = subprocess.Popen([sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", str(self.port)],
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while True:
            try:
                urllib.request.urlopen(self.url + "/moto-api/", timeout=1).close()
                return self
            except OSError:
                if self._process.poll() is not None or time.monotonic() > deadline:
                    self.__exit__()
                    raise RuntimeError(f"moto server did not start on {self.url}")
                time.sleep(0.1)

    def __exit__(self, *exc):
        self._process.terminate()
        self._process.wait(timeout=10)

    @contextlib.contextmanager
    def environment(self):
        """Points this process's S3 clients at the server."""
        saved = {name: os.environ.get(name) for name in self.env}
        os.environ.update(self.env)
        try:
            yield self
        finally:
            for name, value in saved.items():
                os.environ.pop(name) if value is None else os.environ.__setitem__(name, value)

    def client(self):
        import boto3

        return boto3.client("s3", endpoint_url=self.url, region_name="us-east-1",
                            aws_access_key_id="testing", aws_secret_access_key="testing")


def csv_gz_bytes(frame):
    return gzip.compress(frame.to_csv(index=False).encode())


def parquet_bytes(frame, row_group_size=None):
    buffer = io.BytesIO()
    frame.to_parquet(buffer, index=False, row_group_size=row_group_size)
    return buffer.getvalue()


@pytest.fixture(scope="session")
def s3_endpoint():
    with S3Server() as server, server.environment():
        yield server
