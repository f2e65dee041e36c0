"""A local S3 endpoint for the tests and benchmarks: moto's standalone server.

The server runs in its own process on 127.0.0.1 at a free port, so the
memory and threads of the process under test are its own. boto3, s3fs and
pyarrow's S3 file system all find it through AWS_ENDPOINT_URL; the
credentials are dummies the server accepts.

Tests use the ``s3_endpoint`` session fixture (import it into the test
module); scripts use :class:`S3Server` as a context manager.
"""

from __future__ import annotations

import contextlib
import gzip
import io
import os
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request

import pytest

REGION = "us-east-1"


def _free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class S3Server:
    """moto's S3 server in a child process, with the environment that reaches it."""

    def __init__(self, startup_timeout: float = 30.0):
        self.port = _free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        self._timeout = startup_timeout
        self._process: subprocess.Popen | None = None

    @property
    def env(self) -> dict[str, str]:
        return {
            "AWS_ENDPOINT_URL": self.url,
            "AWS_ACCESS_KEY_ID": "testing",
            "AWS_SECRET_ACCESS_KEY": "testing",
            "AWS_SESSION_TOKEN": "testing",
            "AWS_DEFAULT_REGION": REGION,
            "AWS_REGION": REGION,
            # keep boto3 and pyarrow away from ~/.aws and instance metadata
            "AWS_CONFIG_FILE": os.devnull,
            "AWS_SHARED_CREDENTIALS_FILE": os.devnull,
            "AWS_EC2_METADATA_DISABLED": "true",
        }

    def start(self) -> "S3Server":
        self._process = subprocess.Popen(
            [sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", str(self.port)],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        deadline = time.monotonic() + self._timeout
        while True:
            try:
                urllib.request.urlopen(self.url + "/moto-api/", timeout=1).close()
                return self
            except (urllib.error.URLError, ConnectionError, TimeoutError):
                if self._process.poll() is not None or time.monotonic() > deadline:
                    self.stop()
                    raise RuntimeError(f"moto server did not start on {self.url}")
                time.sleep(0.1)

    def stop(self) -> None:
        if self._process is not None:
            self._process.terminate()
            try:
                self._process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
            self._process = None

    def __enter__(self) -> "S3Server":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    @contextlib.contextmanager
    def environment(self):
        """Points this process's boto3, s3fs and pyarrow at the server."""
        saved = {name: os.environ.get(name) for name in self.env}
        os.environ.update(self.env)
        try:
            yield self
        finally:
            for name, value in saved.items():
                if value is None:
                    os.environ.pop(name, None)
                else:
                    os.environ[name] = value

    def client(self):
        import boto3

        return boto3.client("s3", endpoint_url=self.url, region_name=REGION,
                            aws_access_key_id="testing", aws_secret_access_key="testing")


def csv_gz_bytes(frame) -> bytes:
    """A frame as a gzip-compressed CSV object, header row first, no index."""
    return gzip.compress(frame.to_csv(index=False).encode())


def parquet_bytes(frame, row_group_size: int | None = None) -> bytes:
    buffer = io.BytesIO()
    frame.to_parquet(buffer, index=False, row_group_size=row_group_size)
    return buffer.getvalue()


@pytest.fixture(scope="session")
def s3_endpoint():
    """A running S3 server, with this process's environment pointing at it."""
    with S3Server() as server, server.environment():
        yield server
