"""An archive of many files decoded on Dask: the layout ships to the worker processes as it is
(it pickles as its recipe), each file is decoded by Layout.unpack_file where its task runs, and
the columns concatenated in file order equal the serial result. Skipped where dask and
distributed are not installed (pip install ".[test,dask]")."""

import pytest

from fieldpack_layout import Layout
from helpers import field

dask = pytest.importorskip("dask")
dask_bag = pytest.importorskip("dask.bag")
distributed = pytest.importorskip("distributed")
numpy = pytest.importorskip("numpy")

RECIPE = [field("apid", 11, offset_bits=5), field("sequence", 14, offset_bits=18),
          field("temperature", 16, "twos_complement", "little"),
          field("volts", 32, "ieee754_f32"), field("mode", 32, "us_ascii"),
          field("counter", 16, "packed_bcd")]


def write_archive(folder, layout, sizes):
    paths, index = [], 0
    for number, size in enumerate(sizes):
        path = folder / f"archive-{number:03d}.bin"
        packets = []
        for _ in range(size):
            packets.append(layout.pack({"apid": index % 2048, "sequence": index % 16384,
                                        "temperature": index % 300 - 150, "volts": index / 16,
                                        "mode": ("SAFE", "NOML", "TEST")[index % 3],
                                        "counter": index % 10000}))
            index += 1
        path.write_bytes(b"".join(packets))
        paths.append(path)
    return paths


def concatenated(parts):
    return {name: numpy.concatenate([p[name] for p in parts]) if hasattr(parts[0][name], "dtype")
            else [value for p in parts for value in p[name]] for name in parts[0]}


def test_dask_decodes_an_archive_in_file_order(tmp_path):
    layout = Layout(RECIPE)
    # Files of different lengths, one empty, so that an order lost on the way shows.
    paths = write_archive(tmp_path, layout, [700, 1, 0, 2500, 333, 1200])
    serial = concatenated([layout.unpack_file(path, numpy=True) for path in paths])
    assert len(serial["apid"]) == 4734

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        assert len(client.scheduler_info()["workers"]) == 2
        tasks = [dask.delayed(layout.unpack_file)(str(path), numpy=True, chunk_packets=512)
                 for path in paths]
        parts = client.compute(tasks, sync=False)
        results = client.gather(parts)
        # The same with a bag of paths, one partition per file.
        bag = dask_bag.from_sequence([str(p) for p in paths], npartitions=len(paths))
        from_bag = bag.map(layout.unpack_file, numpy=True).compute()

    for got in (concatenated(results), concatenated(from_bag)):
        assert list(got) == list(serial)
        for name, column in serial.items():
            if hasattr(column, "dtype"):
                assert got[name].dtype == column.dtype and numpy.array_equal(got[name], column)
            else:
                assert got[name] == column
