/// The BLAS and LAPACK routines the supernodal kernels call, as a table of function pointers
/// that the module fills once, at import, from the BLAS SciPy ships; nothing is linked. The
/// routines take every argument by pointer (the Fortran convention). Plain C++; no Python.
///
/// Matrices are column-major: element (i, j) of a matrix with leading dimension ld is at
/// [i + j ld].
#pragma once

namespace corvid::cholesky {

struct Blas {
    using Gemm = void(char*, char*, int*, int*, int*, double*, double*, int*, double*, int*,
                      double*, double*, int*);
    using Syrk = void(char*, char*, int*, int*, double*, double*, int*, double*, double*, int*);
    using Trsm = void(char*, char*, char*, char*, int*, int*, double*, double*, int*, double*,
                      int*);
    using Symm = void(char*, char*, int*, int*, double*, double*, int*, double*, int*, double*,
                      double*, int*);
    using Potrf = void(char*, int*, double*, int*, int*);
    using Trtri = void(char*, char*, int*, double*, int*, int*);

    Gemm* dgemm = nullptr;
    Syrk* dsyrk = nullptr;
    Trsm* dtrsm = nullptr;
    Symm* dsymm = nullptr;
    Trsm* dtrmm = nullptr;  // the same arguments as dtrsm
    Potrf* dpotrf = nullptr;
    Trtri* dtrtri = nullptr;
    Potrf* dlauum = nullptr;

    /// C = alpha op(A) op(B) + beta C, op(X) = X or Xᵀ for 'N' or 'T'; C is m x n.
    void gemm(char ta, char tb, int m, int n, int k, double alpha, const double* A, int lda,
              const double* B, int ldb, double beta, double* C, int ldc) const {
        dgemm(&ta, &tb, &m, &n, &k, &alpha, const_cast<double*>(A), &lda, const_cast<double*>(B),
              &ldb, &beta, C, &ldc);
    }
    /// C = alpha A Aᵀ + beta C on C's lower triangle; C is n x n, A is n x k.
    void syrk_lower(int n, int k, double alpha, const double* A, int lda, double beta, double* C,
                    int ldc) const {
        char uplo = 'L', trans = 'N';
        dsyrk(&uplo, &trans, &n, &k, &alpha, const_cast<double*>(A), &lda, &beta, C, &ldc);
    }
    /// B = B op(L)⁻¹ for a lower triangular w x w L (non-unit); B is m x w.
    void trsm_right_lower(char trans, int m, int w, const double* L, int ldl, double* B,
                          int ldb) const {
        char side = 'R', uplo = 'L', diag = 'N';
        double one = 1.0;
        dtrsm(&side, &uplo, &trans, &diag, &m, &w, &one, const_cast<double*>(L), &ldl, B, &ldb);
    }
    /// B = B L for a lower triangular w x w L (non-unit); B is m x w.
    void trmm_right_lower(int m, int w, const double* L, int ldl, double* B, int ldb) const {
        char side = 'R', uplo = 'L', trans = 'N', diag = 'N';
        double one = 1.0;
        dtrmm(&side, &uplo, &trans, &diag, &m, &w, &one, const_cast<double*>(L), &ldl, B, &ldb);
    }
    /// C = alpha S B + beta C for a symmetric m x m S given by its lower triangle; B is m x n.
    void symm_left_lower(int m, int n, double alpha, const double* S, int lds, const double* B,
                         int ldb, double beta, double* C, int ldc) const {
        char side = 'L', uplo = 'L';
        dsymm(&side, &uplo, &m, &n, &alpha, const_cast<double*>(S), &lds, const_cast<double*>(B),
              &ldb, &beta, C, &ldc);
    }
    /// The Cholesky factor of the w x w lower triangle of A, in place. Returns 0, or the
    /// 1-based column where the block is found not positive definite.
    int potrf_lower(int w, double* A, int lda) const {
        char uplo = 'L';
        int info = 0;
        dpotrf(&uplo, &w, A, &lda, &info);
        return info;
    }
    /// L⁻¹ on the lower triangle, in place, for a lower triangular L (non-unit).
    int trtri_lower(int w, double* A, int lda) const {
        char uplo = 'L', diag = 'N';
        int info = 0;
        dtrtri(&uplo, &diag, &w, A, &lda, &info);
        return info;
    }
    /// Wᵀ W on the lower triangle, in place, for a lower triangular W there.
    int lauum_lower(int w, double* A, int lda) const {
        char uplo = 'L';
        int info = 0;
        dlauum(&uplo, &w, A, &lda, &info);
        return info;
    }
};

}  // namespace corvid::cholesky
