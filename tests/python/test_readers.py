# The readers: the program's text and PLINK files into arrays.
import os

import numpy as np
import pytest

import gorva
from conftest import generated, write_text


def write_plink(prefix, genotypes, phenotype, names):
    """A SNP-major .bed (2-bit codes: 00 two copies of A1, 01 missing, 10 one, 11 none)."""
    samples, markers = genotypes.shape
    bed_code = {2: 0b00, 3: 0b01, 1: 0b10, 0: 0b11}
    with open(prefix + ".bed", "wb") as bed:
        bed.write(bytes([0x6C, 0x1B, 0x01]))
        for m in range(markers):
            packed = bytearray((samples + 3) // 4)
            for s in range(samples):
                packed[s // 4] |= bed_code[int(genotypes[s, m])] << (2 * (s % 4))
            bed.write(bytes(packed))
    with open(prefix + ".bim", "w") as bim:
        for m, name in enumerate(names):
            bim.write("1\t%s\t0\t%d\tA\tG\n" % (name, 1000 + m))
    with open(prefix + ".fam", "w") as fam:
        for s in range(samples):
            fam.write("F%d I%d 0 0 1 %d\n" % (s, s, 2 if phenotype[s] else 1))


def write_vcf(path, genotypes, names):
    gt = {0: "0/0", 1: "0/1", 2: "1/1", 3: "./."}
    with open(path, "w") as vcf:
        vcf.write("##fileformat=VCFv4.2\n##contig=<ID=1>\n")
        vcf.write('##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">\n')
        vcf.write("#" + "\t".join(["CHROM", "POS", "ID", "REF", "ALT", "QUAL", "FILTER", "INFO", "FORMAT"]
                                  + ["I%d" % s for s in range(genotypes.shape[0])]) + "\n")
        for m, name in enumerate(names):
            fields = ["1", str(1000 + m), name, "A", "G", ".", "PASS", ".", "GT"]
            vcf.write("\t".join(fields + [gt[int(v)] for v in genotypes[:, m]]) + "\n")


def test_text_plink_and_vcf_files_give_the_arrays_written(tmp_path):
    genotypes, phenotype = generated(37, 5, 0.1, seed=2)
    names = ["rs%d" % m for m in range(5)]
    write_text(tmp_path / "data.txt", genotypes, phenotype, names)
    write_plink(str(tmp_path / "set"), genotypes, phenotype, names)
    write_vcf(tmp_path / "data.vcf", genotypes, names)
    (tmp_path / "pheno.txt").write_text("".join("F%d I%d %d\n" % (s, s, 1 + v) for s, v in enumerate(phenotype)))
    text = gorva.read_text(tmp_path / "data.txt")  # any os.PathLike
    plink = gorva.read_plink(str(tmp_path / "set"))
    vcf = gorva.read_vcf(str(tmp_path / "data.vcf"), str(tmp_path / "pheno.txt"))
    flipped = gorva.read_plink(str(tmp_path / "set"), pheno=str(tmp_path / "pheno.txt"))
    for data in (text, plink, vcf, flipped):
        assert data.genotypes.dtype == np.uint8 and data.genotypes.shape == (37, 5)
        assert np.array_equal(data.genotypes, genotypes)
        assert np.array_equal(data.phenotype, phenotype)
        assert data.markers == names
    assert plink.samples[:2] == vcf.samples[:2] == ["I0", "I1"] and len(text.samples) == 37


def test_files_refused_or_missing(tmp_path):
    with pytest.raises(OSError, match="cannot open"):
        gorva.read_text(str(tmp_path / "absent.txt"))
    bad = tmp_path / "bad.txt"
    bad.write_text("Class\tm0\n1\t7\n")
    with pytest.raises(ValueError, match="line 2, column 2: genotype code 7"):
        gorva.read_text(str(bad))
    # A FIFO would block the reader's open until something wrote to it.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    with pytest.raises(ValueError, match="fifo: the data file is a FIFO or pipe"):
        gorva.read_text(str(fifo))
    with pytest.raises(ValueError, match="fifo: the phenotype file is a FIFO or pipe"):
        gorva.read_vcf(str(bad), str(fifo))
    # The file system would read such a name cut at the NUL: another file.
    with pytest.raises(ValueError, match="holds a NUL character"):
        gorva.read_text(str(bad) + "\0.old")
    with pytest.raises(TypeError, match="pheno=3: a file name"):
        gorva.read_vcf(str(bad), 3)
    with pytest.raises(ValueError, match="pheno='': an empty file name"):
        gorva.read_plink(str(tmp_path / "set"), pheno="")


def test_a_misnamed_file_is_told_in_the_modules_own_words(tmp_path):
    genotypes, phenotype = generated(12, 2, 0.0, seed=3)
    write_plink(str(tmp_path / "set"), genotypes, phenotype, ["a", "b"])
    write_vcf(tmp_path / "data.vcf", genotypes, ["a", "b"])
    # The prefix with a member's extension names set.bed.bed; the set meant is there.
    with pytest.raises(OSError, match=r'set\.bed\.bed .*did you mean read_plink\(".*set"\)\?'):
        gorva.read_plink(str(tmp_path / "set.bed"))
    with pytest.raises(ValueError, match=r"data\.vcf line 1: the file is a VCF.*read_vcf\(path, pheno\)"):
        gorva.read_text(str(tmp_path / "data.vcf"))
    with pytest.raises(ValueError, match=r"set\.bed line 1: the file is a PLINK \.bed.*read_plink\(prefix\)"):
        gorva.read_text(str(tmp_path / "set.bed"))
