% velmora_fit_block: VelmoraFitParallel's module, not for calling directly.
%
%   r = velmora_fit_block ('open', block)      a worker's session over its
%                                              block: [session, unit, resident]
%   v = velmora_fit_block ('call', s, op, ...) one pass of session s
%   velmora_fit_block ('close', s)             (no s: every session)
%   sz = velmora_fit_block ('sizes', files)    2 x F: dim and n of each shard
%   X = velmora_fit_block ('read', files, dim, first, count)
%   [model, info] = velmora_fit_block ('fit', exchange, [dim n unit resident], blocks, K, ...)
%
% The module stays loaded while a session is open.
%
% See also VelmoraFitParallel, velmora_write_shard.
