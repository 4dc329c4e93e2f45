/*
 * Source annotations. The compiler here does not check them; they stay in the
 * code because they document the contract of every parameter, as in any
 * Windows code base, and expand to nothing.
 */
#ifndef FL_PLATFORM_SAL_H
#define FL_PLATFORM_SAL_H

#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _In_z_
#define _In_opt_z_
#define _Outptr_
#define _Outptr_opt_
#define _Outptr_result_maybenull_
#define _Outptr_result_bytebuffer_(s)
#define _In_reads_(s)
#define _In_reads_opt_(s)
#define _In_reads_bytes_(s)
#define _In_reads_bytes_opt_(s)
#define _Out_writes_(s)
#define _Out_writes_opt_(s)
#define _Out_writes_bytes_(s)
#define _Out_writes_bytes_opt_(s)
#define _Out_writes_to_(s, c)
#define _Out_writes_to_opt_(s, c)
#define _Out_writes_bytes_to_(s, c)
#define _Out_writes_bytes_to_opt_(s, c)
#define _Out_writes_z_(s)
#define _Inout_updates_(s)
#define _Inout_updates_bytes_(s)
#define _Inout_updates_bytes_opt_(s)
#define _Reserved_
#define _Must_inspect_result_
#define _Check_return_
#define _Success_(e)
#define _Ret_maybenull_
#define _Ret_notnull_
#define _Post_writable_byte_size_(s)
#define _When_(c, a)
#define _At_(t, a)
#define _Use_decl_annotations_
#define _Function_class_(n)
#define _IRQL_requires_(l)
#define _IRQL_requires_max_(l)
#define _IRQL_requires_min_(l)
#define _IRQL_requires_same_
#define _IRQL_raises_(l)
#define _IRQL_saves_
#define _IRQL_restores_
#define _IRQL_saves_global_(k, p)
#define _IRQL_restores_global_(k, p)
#define _Requires_lock_held_(l)
#define _Requires_lock_not_held_(l)
#define _Acquires_lock_(l)
#define _Releases_lock_(l)
#define _Guarded_by_(l)
#define _Analysis_assume_(e)
#define _Printf_format_string_
#define _Field_size_(s)
#define _Field_size_bytes_(s)
#define _Frees_ptr_
#define _Frees_ptr_opt_
#define _Post_invalid_
#define _Kernel_requires_resource_held_(r)
#define _Dispatch_type_(t)

#ifndef IN
#define IN
#endif
#ifndef OUT
#define OUT
#endif
#ifndef OPTIONAL
#define OPTIONAL
#endif

#endif
