"""Cython consumers: the installed memory.pxd generates exactly the capsule
names the module publishes, and a consumer compiled from it walks both
typical roads (triples into a pool, sorted; random streams drawn on threads
without the GIL) plus the row table, the pool's methods and the helpers."""
import gc
import importlib
import os
import re
import subprocess
import sys
import threading

import pytest

import builds
import morvex.utils.memory as memory
from model import (CLASSES, CMP_KEYS as KEYS, CMP_ORDERS as ORDERS, RECORD_SIZES, VARIABLES,
                   WITH_VTABLE, capsule_name, next_states, step)
from conftest import require_cython

numpy = pytest.importorskip("numpy")

HERE = os.path.dirname(os.path.abspath(__file__))




# ---- the declarations ----------------------------------------------------------

class TestDeclarations:
    def test_generated_capsule_names_are_the_published_ones(self, tmp_path):
        """A consumer that uses every export: the names Cython asks for are,
        character for character, those in __pyx_capi__ (and nothing else).
        Generating the code needs no C compiler, so this runs everywhere."""
        require_cython(compiled=False, generated_0_29=True)
        capi = memory.__pyx_capi__
        lines = []
        for name, cap in capi.items():
            sig = capsule_name(cap)
            if sig.startswith("struct __pyx_obj_") and "(" not in sig:
                lines.append("    o = %s" % name)          # an object variable
            elif "(" in sig:
                lines.append("    p = <void *>%s" % name)   # a function
            else:
                lines.append("    p = <void *>&%s" % name)  # a plain variable
        uses = "\n".join(lines)
        src = tmp_path / "uses_all.pyx"
        src.write_text(
            "# distutils: language = c++\n"
            "from morvex.utils.memory cimport *\n"
            "cdef void *p\n"
            "def touch():\n"
            "    global p\n" + uses + "\n"
            + "".join("    c_%s = %s\n" % (c, c) for c in CLASSES))
        gen = tmp_path / "uses_all.cpp"
        run = subprocess.run(
            [sys.executable, "-m", "cython", "-3", "--cplus", "-Werror", str(src), "-o", str(gen)],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True,
            env=builds.build_env())
        assert run.returncode == 0, run.stdout
        code = gen.read_text()

        functions = dict(re.findall(
            r'__Pyx_ImportFunction(?:_\w+)?\(\w+, "(\w+)", \(void \(\*\*\)\(void\)\)&\w+, "([^"]*)"\)', code))
        variables = dict(re.findall(
            r'__Pyx_ImportVoidPtr(?:_\w+)?\(\w+, "(\w+)", \(void \*\*\)&\w+, "([^"]*)"\)', code))
        published = {name: capsule_name(cap) for name, cap in capi.items()}
        assert len(published) == 28
        assert sorted(variables) == sorted(VARIABLES) and len(functions) == 24
        assert dict(variables, **functions) == published

        types = re.findall(r'__Pyx_ImportType(?:_\w+)?\(\w+, "morvex\.utils\.memory", "(\w+)", '
                           r'sizeof\(struct __pyx_obj_6morvex_5utils_6memory_(\w+)\)', code)
        assert sorted(types) == sorted((c, c) for c in CLASSES)
        vtables = re.findall(r'__Pyx_GetVtable\(__pyx_ptype_6morvex_5utils_6memory_(\w+)->tp_dict\)', code)
        assert sorted(vtables) == sorted(WITH_VTABLE)

    def test_the_declarations_are_exactly_the_exports(self):
        """Every top-level function and variable of the installed memory.pxd
        is published, and every published entry is declared."""
        with open(os.path.join(os.path.dirname(memory.__file__), "memory.pxd")) as f:
            text = f.read()
        top = [line for line in text.splitlines()
               if line.startswith("cdef ") and not line.startswith("cdef class ")]
        declared = [re.search(r"(\w+)\(" if "(" in line else r"(\w+)\s*(?:#.*)?$", line).group(1)
                    for line in top]
        assert sorted(declared) == sorted(memory.__pyx_capi__)
        classes = re.findall(r"^cdef class (\w+):", text, re.M)
        assert sorted(classes) == sorted(CLASSES)
        # each class's docstring sends consumers to its two declarations
        for name in CLASSES:
            assert "`morvex_{0}` in morvex/utils/memory.h (Cython: `{0}` in morvex/utils/memory.pxd)"\
                .format(name) in " ".join(getattr(memory, name).__doc__.split()), name

    def test_layouts_match_the_module(self, cy):
        sizes = cy.struct_sizes()
        assert {name: sizes[name] for name in CLASSES} == \
            {name: getattr(memory, name).__basicsize__ for name in CLASSES}
        assert {name: sizes[name] for name in RECORD_SIZES} == RECORD_SIZES

    def test_warn_zero_alloc_is_read_through_its_address(self, cy):
        assert cy.warn_zero_alloc() == 0


# ---- road 1: triples -----------------------------------------------------------

def skewed_table(rng, n):
    """(n, 3) int32 triples with many ties and some negative ids."""
    heads = rng.zipf(1.6, n) % 40 - 3
    rels = rng.integers(0, 5, n)
    tails = rng.zipf(1.4, n) % 50 - 5
    return numpy.stack([heads, rels, tails], axis=1).astype(numpy.int32)


class TestTripleRoad:
    def test_load_and_sort_under_every_order_then_release_with_the_pool(self, cy):
        table = skewed_table(numpy.random.default_rng(11), 3000)
        rows = [tuple(int(v) for v in r) for r in table]
        cy.take_released()
        road = cy.sort_road(table)
        pool, addr, n = road["pool"], road["address"], len(rows)
        assert road["zeroed"] is True
        assert road["loaded"] == rows
        assert road["size_seen_natively"] == 12 * n
        for order in ORDERS:
            assert road["sorted"][order] == sorted(rows, key=KEYS[order]), order
        # the sorted array is still the pool's only block
        assert pool.size == 12 * n
        assert pool.addresses == {addr: 12 * n}
        del road, pool
        gc.collect()
        assert cy.take_released() == [addr]

    def test_strided_rows_and_extra_columns(self, cy):
        wide = numpy.arange(8 * 5, dtype=numpy.int32).reshape(8, 5)[::2] * -1
        road = cy.sort_road(wide)
        expected = [(int(r[0]), int(r[1]), int(r[2])) for r in wide]
        assert road["loaded"] == expected
        assert road["sorted"]["cmp_head"] == sorted(expected)
        # any column step: Fortran order, transposed, every other column
        base = numpy.arange(7 * 6, dtype=numpy.int32).reshape(7, 6) % 5 - 2
        for view in (numpy.asfortranarray(base), numpy.ascontiguousarray(base.T).T[::-1],
                     base[:, ::2], base[::3, ::-2]):
            assert cy.sort_road(view)["loaded"] == [tuple(int(v) for v in r[:3]) for r in view]

    def test_the_readme_module_as_written(self, cy):
        mymod_cy = importlib.import_module("mymod_cy")
        table = skewed_table(numpy.random.default_rng(12), 400)
        rows = sorted(tuple(int(v) for v in r) for r in table)
        for view in (table, numpy.asfortranarray(table), table[::-1]):
            assert mymod_cy.by_head(view) == rows

    def test_the_orderings_are_strict(self, cy):
        for order in ORDERS:
            assert cy.compare(order, (1, 2, 3), (1, 2, 3)) == 0
        assert cy.compare("cmp_head", (-1, 0, 0), (0, 0, 0)) == 1
        assert cy.compare("cmp_rel", (0, 5, 1), (0, 0, 2)) == 1
        assert cy.compare("cmp_rel2", (9, 0, 0), (0, 1, 0)) == 1
        assert cy.compare("cmp_rel3", (0, 1, 2), (9, 1, 1)) == 0
        assert cy.compare("cmp_tail", (9, 9, 0), (0, 0, 1)) == 1


# ---- road 2: random streams ------------------------------------------------------

@pytest.fixture
def streams(cy):
    starts, id_starts = cy.set_up_streams(4, 7)
    return starts, id_starts


class TestRandomRoad:
    def test_set_up_fills_both_arrays_from_the_global_pool(self, cy, streams):
        starts, id_starts = streams
        pool = cy.random_pool()
        assert isinstance(pool, memory.MemoryPool)
        nxt, ids = cy.stream_addresses()
        assert pool.addresses == {nxt: 32, ids: 160}
        assert pool.size == 192
        # the same seed gives the same states; the id-keyed seed is fixed
        assert cy.set_up_streams(4, 7) == (starts, id_starts)
        assert cy.random_pool() is not pool

    def test_seeding_repeats_the_per_thread_states(self, cy, streams):
        cy.seed(12345)
        first = cy.reset_threads(3)
        cy.seed(12345)
        assert cy.reset_threads(3) == first

    def test_threads_draw_their_own_streams_without_the_gil(self, cy, streams):
        starts, _ = streams
        count = 20000
        results = [None] * 4
        barrier = threading.Barrier(4)

        def work(slot):
            barrier.wait()
            results[slot] = cy.draw(slot, count)

        threads = [threading.Thread(target=work, args=(slot,)) for slot in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for slot in range(4):
            assert results[slot].tolist() == next_states(starts[slot], count), slot

        # rand_max on the per-thread stream continues from where each slot is
        last = [int(r[-1]) for r in results]
        for slot in range(4):
            assert cy.draw(slot, 500, 1000).tolist() == [v % 1000 for v in next_states(last[slot], 500)]

    def test_prange_threads_draw_their_own_streams(self, cy, streams):
        starts, _ = streams
        draws, who = cy.draw_prange(4, 10000)
        for slot in range(4):
            assert draws[slot].tolist() == next_states(starts[slot], 10000), slot
        assert sorted(who.tolist()) == [0, 1, 2, 3]

    def test_id_keyed_draws(self, cy, streams):
        _, id_starts = streams
        five = next_states(id_starts[5], 3)
        assert cy.draw_by_id([5, 25, 45, -1]) == five + [step(id_starts[19])]
        assert cy.draw_by_id([7], 100) == [step(id_starts[7]) % 100]

    def test_rand64_ranges(self, cy, streams):
        up = cy.draw_range(5, 10, 300)
        assert set(up) <= set(range(5, 10)) and len(set(up)) > 1
        down = cy.draw_range(10, 5, 300)
        assert set(down) <= set(range(6, 11)) and len(set(down)) > 1


# ---- row table, pool methods, helpers ----------------------------------------------

class TestRowTable:
    def test_rows_added_natively_read_through_numpy(self, cy):
        rows = [(3, 10), (-1, 7), (2 ** 31 - 1, -2 ** 31), (0, 0)]
        d = cy.data_road(rows, 2)
        assert cy.data_members(d)[:3] == (2, 8, 0)
        view = numpy.asarray(d)
        assert view.dtype == numpy.int32 and view.shape == (4, 2)
        assert view.tolist() == [list(r) for r in rows]
        ncols, cells, viewing, shape, strides = cy.data_members(d)
        assert (viewing, shape, strides) == (1, (4, 2), (8, 4))
        view[1, 0] = 99  # the view is the table's own memory
        with pytest.raises(ValueError, match="can't add row while being viewed"):
            cy.add_row(d, [5, 6])
        del view
        assert cy.data_members(d)[2] == 0
        assert cy.add_row(d, [5, 6]) is None
        assert numpy.asarray(d).tolist() == [[3, 10], [99, 7], [2 ** 31 - 1, -2 ** 31], [0, 0], [5, 6]]

    def test_initialize_data_clears_all_but_the_user_bytes(self, cy):
        arrays, user, tables, count = cy.initialize_data()
        assert arrays == [0] * 15
        assert user == b"\xab" * 32
        assert tables == [0, 0]
        assert count == 0


class TestPoolFromCython:
    def test_alloc_realloc_free_through_the_method_table(self, cy):
        (a, p, size_a, addr_a, vals_a), (r, q, size_r, addr_r, vals_r), (f, _, size_f, addr_f, _) = cy.pool_methods()
        assert (a, r, f) == ("alloc", "realloc", "free")
        assert (size_a, addr_a, vals_a) == (32, {p: 32}, [0.0] * 4)
        assert q != p
        assert (size_r, addr_r, vals_r) == (64, {q: 64}, [1.5, 3.0, 4.5, 6.0, 0.0, 0.0, 0.0, 0.0])
        assert (size_f, addr_f) == (0, {})

    def test_realloc_errors_come_back_as_exceptions(self, cy):
        with pytest.raises(ValueError, match=r"^Pointer \d+ not found in Pool \{\}$"):
            cy.realloc_unknown()

    def test_typed_helpers(self, cy):
        got = cy.typed_helpers(5)
        assert got["ints"] == [0] * 5
        assert got["minus"] == [-1] * 5
        assert got["floats"] == [0.0] * 5
        assert got["pairs"] == [(0, -1)] * 5
        assert got["first_ints_kept"] is False
        assert got["addresses"] == got["expected"]
        assert got["size"] == 3 * 20 + 80

    def test_allocator_boxes(self, cy):
        m, f, same_malloc, same_free = cy.boxes()
        assert type(m) is memory.PyMalloc and type(f) is memory.PyFree
        assert same_malloc is True and same_free is True

    def test_memory_cells(self, cy):
        mem = memory.Memory(4)
        assert cy.memory_cells(mem, [1, -2, 3, 2 ** 31 - 1]) == [1, -2, 3, 2 ** 31 - 1]

    def test_qsort_with_the_float_comparison(self, cy):
        weights = [2.5, -1.0, 0.5, 7.25, -3.5, 0.0]
        assert cy.qsort_by_weight(weights) == sorted(range(len(weights)), key=weights.__getitem__)

    def test_cython_subclass_replaces_alloc_for_the_modules_realloc(self, cy):
        pool = cy.MarkingPool()
        assert isinstance(pool, memory.MemoryPool)
        assert cy.marking_realloc(pool) == b"\x01\x02\x03\x04ZZZZ"
        assert pool.marked == 2
        assert pool.size == 8 and list(pool.addresses.values()) == [8]
